# A callable link goes through JAX: same likelihood and gradient as the native softplus, and a
# clear ImportError naming the extra when JAX is missing.
import sys

import numpy as np
import pytest

import vostrel as vs
from vostrel.models._base import prepare


def softplus(x):
    import jax.numpy as jnp

    return jnp.where(x > 35.0, x, jnp.log(jnp.exp(jnp.minimum(x, 35.0)) + 1.0))


def test_callable_link_matches_the_native_link():
    pytest.importorskip("jax")
    events = vs.Exponential(0.5, 0.5, 2.0).simulate(300.0, seed=3)
    data = prepare(events)
    native = vs.NonlinearExponential(0.3, 0.5, 2.0, "softplus")
    through_jax = vs.NonlinearExponential(0.3, 0.5, 2.0, softplus)
    value, grad = native._neg_ll_grad(data, native.to_vector())
    jax_value, jax_grad = through_jax._neg_ll_grad(data, through_jax.to_vector())
    assert jax_value == pytest.approx(value, rel=1e-12)
    np.testing.assert_allclose(jax_grad, grad, rtol=1e-9)
    np.testing.assert_allclose(
        through_jax.compensator(events)[0], native.compensator(events)[0], rtol=1e-12
    )
    result = vs.fit(events, through_jax, n_starts=1)
    assert result.converged


def test_missing_jax_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "jax", None)
    events = vs.Events.from_arrays([1.0, 2.0], end_time=3.0)
    with pytest.raises(ImportError, match=r"vostrel\[jax\]"):
        vs.NonlinearExponential(0.3, 0.5, 2.0, softplus).neg_log_likelihood(events)
