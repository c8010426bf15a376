# What Python sees of the univariate likelihood families beyond their numbers: registration
# order, the signatures the interpreter builds from their text signatures, and argument matching
# by keyword (the texts themselves are compared in test_docstrings.py).
import inspect

import numpy as np
import pytest

from vostrel._libvostrel import likelihood

FAMILIES = [
    ("uni_powerlaw_neg_ll", "(times, t_horizon, mu, alpha, beta, c)"),
    ("uni_nonparametric_neg_ll", "(times, t_horizon, mu, edges, values)"),
    ("uni_sumexp_neg_ll", "(times, t_horizon, mu, alphas, betas)"),
    ("uni_approx_powerlaw_neg_ll", "(times, t_horizon, mu, alpha, beta_pow, beta_min, r, n_components)"),
    ("marked_uni_exp_neg_ll", "(times, g_values, t_horizon, mu, alpha, beta)"),
]


def test_families_follow_the_exponential_pair_in_registration_order():
    expected = [name for value, _ in FAMILIES for name in (value + "_with_grad", value)]
    assert likelihood.__all__[2 : 2 + len(expected)] == expected


@pytest.mark.parametrize(("value", "signature"), FAMILIES)
@pytest.mark.parametrize("suffix", ["", "_with_grad"])
def test_signature(value, signature, suffix):
    assert str(inspect.signature(getattr(likelihood, value + suffix))) == signature


def test_arguments_match_by_keyword_and_report_what_is_missing():
    times = np.array([0.5, 1.0])
    by_position = likelihood.marked_uni_exp_neg_ll(times, np.ones(2), 2.0, 0.5, 0.4, 1.5)
    by_keyword = likelihood.marked_uni_exp_neg_ll(
        beta=1.5, alpha=0.4, mu=0.5, t_horizon=2.0, g_values=np.ones(2), times=times
    )
    assert by_position == by_keyword
    with pytest.raises(TypeError) as info:
        likelihood.uni_approx_powerlaw_neg_ll(times, 2.0, 0.5, 0.4, 0.8, 0.1)
    assert str(info.value) == (
        "uni_approx_powerlaw_neg_ll() missing 2 required positional arguments: 'r' and 'n_components'"
    )
    with pytest.raises(TypeError, match="^argument 'g_values': 'list' object cannot be cast as 'ndarray'$"):
        likelihood.marked_uni_exp_neg_ll(times, [1.0, 1.0], 2.0, 0.5, 0.4, 1.5)
