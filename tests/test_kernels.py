# The three kernel classes: worked values, constructor checks and their order, bit equality of
# the array methods with the scalar formulas, numeric edge inputs, the borrow rules on
# re-entry, ownership of the nonparametric arrays, and the class objects' shape.
import inspect
import math

import numpy as np
import pytest

from vostrel._libvostrel import kernels
from vostrel._libvostrel.kernels import ExponentialKernel, NonparametricKernel, PowerLawKernel

NAN = float("nan")
INF = float("inf")
# Lags that every array method must take without raising: negatives, zeros of both signs, edges,
# huge values, infinities and NaN, plus enough ordinary values to cover any unrolled loop.
AWKWARD_LAGS = [-2.0, -1.0, -0.5, -0.0, 0.0, 1e-300, 0.5, 1.0, 2.5, 3.0, 700.0, 1e308, INF, -INF, NAN]


def bits(values):
    return [float(v).hex() for v in values]


def lag_arrays(rng):
    """(array, the same lags as Python floats) pairs."""
    arrays = [np.array(AWKWARD_LAGS)] + [rng.uniform(-1.0, 6.0, n) for n in (0, 1, 2, 3, 7, 1001)]
    return [(lags, lags.tolist()) for lags in arrays]


def nonparametric(edges, values):
    return NonparametricKernel(np.array(edges, dtype=float), np.array(values, dtype=float))


# ---------------------------------------------------------------------------------------------
# Worked examples


def test_exponential_worked_example():
    k = ExponentialKernel(0.5, 2.0)
    assert bits(k.evaluate(np.array([0.0, 1.0]))) == bits([1.0, math.exp(-2.0)])
    assert k.integrate(1.0) == 0.5 * (1 - math.exp(-2.0))
    assert k.l1_norm() == 0.5
    assert repr(k) == "ExponentialKernel(alpha=0.5, beta=2)"
    assert k.recursive_intensity_excitation(2.0) == 2.0
    assert ExponentialKernel(1.0, 1.0).recursive_state_update(0.0, 1.0) == math.exp(-1.0)
    assert k.recursive_absorb(2.5) == 3.5
    assert k.recursive_decay(2.0, 0.5) == math.exp(-1.0) * 2.0
    assert k.evaluate(np.empty(0)).dtype == np.float64 and k.evaluate(np.empty(0)).size == 0


def test_power_law_worked_example():
    k = PowerLawKernel(1.0, 1.0)
    assert k.c == 1.0
    assert k.evaluate(np.array([0.0, 1.0])).tolist() == [1.0, 0.25]
    assert k.integrate(1.0) == 0.5
    assert k.l1_norm() == 1.0
    assert repr(k) == "PowerLawKernel(alpha=1, beta=1, c=1)"
    assert PowerLawKernel(2.0, 0.5, c=4.0).l1_norm() == 2.0
    assert k.has_recursive_form() is False


def test_nonparametric_worked_example():
    k = nonparametric([0, 1, 3], [2, 0.5])
    assert k.n_bins == 2
    lags = np.array([-0.1, 0.0, -0.0, 0.999, 1.0, 2.0, 3.0, 5.0])
    assert k.evaluate(lags).tolist() == [0, 2, 2, 2, 0.5, 0.5, 0, 0]
    assert k.integrate(2.0) == 2.5
    assert k.integrate(10.0) == k.l1_norm() == 3.0
    assert k.integrate(-1.0) == 0.0
    assert repr(k) == "NonparametricKernel(edges=[0.0, 1.0, 3.0], values=[2.0, 0.5])"
    assert k.has_recursive_form() is False


def test_nonparametric_without_bins_is_zero_everywhere():
    k = nonparametric([0.0], [])
    assert k.n_bins == 0
    assert k.evaluate(np.array([-1.0, 0.0, 1.0, INF])).tolist() == [0.0] * 4
    assert k.integrate(5.0) == 0.0 and k.l1_norm() == 0.0
    assert repr(k) == "NonparametricKernel(edges=[0.0], values=[])"


# ---------------------------------------------------------------------------------------------
# Constructor checks, messages and their order


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda: ExponentialKernel(1.0, 0.0), "beta must be positive; got 0"),
        (lambda: ExponentialKernel(-1.0, 0.0, allow_signed=True), "beta must be positive; got 0"),
        (lambda: ExponentialKernel(1.0, -1e-20), "beta must be positive; got -0.00000000000000000001"),
        (lambda: ExponentialKernel(-0.3, 1.0),
         "alpha must be positive (use allow_signed=True for signed); got -0.3"),
        (lambda: ExponentialKernel(0.0, 1.0),
         "alpha must be positive (use allow_signed=True for signed); got 0"),
        (lambda: ExponentialKernel(0.0, 1.0, allow_signed=True),
         "alpha must be non-zero when allow_signed=True"),
        (lambda: ExponentialKernel(-0.0, 1.0, allow_signed=np.True_),
         "alpha must be non-zero when allow_signed=True"),
        (lambda: PowerLawKernel(0.0, 1.0), "alpha must be positive; got 0"),
        (lambda: PowerLawKernel(-1.0, -1.0, -1.0), "alpha must be positive; got -1"),
        (lambda: PowerLawKernel(1.0, -1.0, -1.0), "beta must be positive; got -1"),
        (lambda: PowerLawKernel(1.0, 1.0, c=0.0),
         "c must be positive (singularity at t=0 otherwise); got 0"),
        (lambda: nonparametric([], []), "edges must be non-empty"),
        (lambda: nonparametric([0.5, 1.0], [1.0]), "edges[0] must be 0.0; got 0.5"),
        (lambda: nonparametric([NAN, 1.0], [1.0]), "edges[0] must be 0.0; got NaN"),
        (lambda: nonparametric([0, 1, 1], [1, 1]),
         "edges must be strictly increasing; got edges[1]=1, edges[2]=1"),
        (lambda: nonparametric([0, 1, NAN], [1, 1]),
         "edges must be strictly increasing; got edges[1]=1, edges[2]=NaN"),
        (lambda: nonparametric([0, 2, 1], [1]),
         "edges must be strictly increasing; got edges[1]=2, edges[2]=1"),
        (lambda: nonparametric([0, 1, 2], [1, 2, 3]), "len(edges) (3) must be len(values)+1 (4)"),
        (lambda: nonparametric([0, 1, 2], [1, -0.5]),
         "values[1] must be a non-negative finite number; got -0.5"),
        (lambda: nonparametric([0, 1, 2], [NAN, -1]),
         "values[0] must be a non-negative finite number; got NaN"),
        (lambda: nonparametric([0, 1, 2], [1, INF]),
         "values[1] must be a non-negative finite number; got inf"),
    ],
)
def test_constructor_rejections(make, message):
    with pytest.raises(ValueError) as info:
        make()
    assert str(info.value) == "invalid parameter: " + message


def test_constructor_accepts_what_the_checks_let_through():
    assert repr(ExponentialKernel(NAN, 1.0)) == "ExponentialKernel(alpha=NaN, beta=1)"
    signed = ExponentialKernel(-0.3, 1.0, allow_signed=True)
    assert signed.l1_norm() == 0.3 and signed.has_recursive_form() is False
    assert repr(signed) == "ExponentialKernel(alpha=-0.3, beta=1, allow_signed=True)"
    assert ExponentialKernel(1, 2).beta == 2.0 and ExponentialKernel(INF, 1.0).alpha == INF
    weird = PowerLawKernel(1.0, NAN)
    assert all(math.isnan(v) for v in (weird.integrate(1.0), weird.l1_norm(), *weird.evaluate(np.ones(2))))
    assert nonparametric([-0.0, 1.0], [-0.0]).values.tolist() == [0.0]


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda: ExponentialKernel(1.0), "ExponentialKernel.__new__() missing 1 required positional argument: 'beta'"),
        (lambda: ExponentialKernel(1.0, 2.0, True), "ExponentialKernel.__new__() takes 2 positional arguments but 3 were given"),
        (lambda: PowerLawKernel(1.0, 1.0, 1.0, 1.0), "PowerLawKernel.__new__() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda: PowerLawKernel(1.0, beta=1.0, alpha=2.0), "PowerLawKernel.__new__() got multiple values for argument 'alpha'"),
        (lambda: PowerLawKernel(1.0, 1.0, gamma=2.0), "PowerLawKernel.__new__() got an unexpected keyword argument 'gamma'"),
        (lambda: ExponentialKernel(1.0, 1.0, allow_signed=1), "argument 'allow_signed': 'int' object cannot be cast as 'bool'"),
        (lambda: NonparametricKernel([0.0], np.empty(0)), "argument 'edges': 'list' object cannot be cast as 'ndarray'"),
        (lambda: NonparametricKernel(np.arange(5.0)[::2], np.arange(4.0)[::2]), "The given array is not contiguous"),
        (lambda: NonparametricKernel(np.zeros(3), np.arange(4.0)[::2]), "The given array is not contiguous"),
        (lambda: ExponentialKernel(1.0, 2.0).evaluate(np.zeros(2, np.float32)), "argument 't': 'ndarray' object cannot be cast as 'ndarray'"),
        (lambda: PowerLawKernel(1.0, 2.0).integrate_vec(np.arange(4.0)[::-1]), "The given array is not contiguous"),
        (lambda: nonparametric([0, 1], [1]).evaluate(t=np.arange(4.0)[::2]), "The given array is not contiguous"),
        (lambda: nonparametric([0, 1], [1]).scale(), "NonparametricKernel.scale() missing 1 required positional argument: 'factor'"),
        (lambda: ExponentialKernel(1.0, 2.0).recursive_decay(1.0, dt="x"), "argument 'dt': must be real number, not str"),
    ],
)
def test_argument_errors(make, message):
    with pytest.raises(TypeError) as info:
        make()
    assert str(info.value) == message


def test_contiguity_is_checked_before_validation_and_edges_first():
    # Invalid edges behind a strided view still report contiguity, not their values.
    with pytest.raises(TypeError, match="not contiguous"):
        NonparametricKernel(np.array([5.0, 1.0, 0.0, 0.0])[::2], np.zeros(1))


def test_numpy_bool_and_keyword_calls_are_accepted():
    k = ExponentialKernel(alpha=-1.0, beta=2.0, allow_signed=np.bool_(True))
    assert k.allow_signed is True and k.alpha == -1.0
    assert PowerLawKernel(beta=1.5, alpha=0.5).c == 1.0
    assert k.recursive_state_update(dt=0.0, state=1.0) == 2.0


# ---------------------------------------------------------------------------------------------
# Bit equality with the scalar formulas, on every element and for awkward lags


@pytest.mark.parametrize(("alpha", "beta"), [(0.5, 2.0), (0.9, 1e-3), (-0.3, 7.5)])
def test_exponential_arrays_equal_the_scalar_formula(rng, alpha, beta):
    k = ExponentialKernel(alpha, beta, allow_signed=alpha < 0)
    for lags, floats in lag_arrays(rng):
        assert bits(k.evaluate(lags)) == bits(math.exp(t * -beta) * (alpha * beta) for t in floats)
        expected = [(1.0 - math.exp(t * -beta)) * alpha for t in floats]
        assert bits(k.integrate_vec(lags)) == bits(expected) == bits(k.integrate(t) for t in floats)


def test_exponential_negative_lags_grow():
    k = ExponentialKernel(1.0, 1.0)
    assert k.evaluate(np.array([-1.0])).tolist() == [math.e] and k.integrate(-1.0) < 0
    assert k.recursive_decay(1.0, -1.0) == math.e


def power(base, exponent):
    # The C library's pow, also where Python's math.pow raises: a zero base (here always +0) with
    # a negative exponent, and a negative finite base with a fractional exponent.
    try:
        return math.pow(base, exponent)
    except ValueError:
        return INF if base == 0.0 else NAN


@pytest.mark.parametrize(("alpha", "beta", "c"), [(1.0, 1.0, 1.0), (0.3, 0.7, 0.25), (2.0, 3.0, 2.0)])
def test_power_law_arrays_equal_the_scalar_formula(rng, alpha, beta, c):
    k = PowerLawKernel(alpha, beta, c)
    p = -(beta + 1.0)
    a, kk = math.pow(c, -beta), alpha / beta
    for lags, floats in lag_arrays(rng):
        assert bits(k.evaluate(lags)) == bits(power(t + c, p) * alpha for t in floats)
        expected = [(a - power(t + c, -beta)) * kk for t in floats]
        assert bits(k.integrate_vec(lags)) == bits(expected) == bits(k.integrate(t) for t in floats)


def test_power_law_below_the_offset():
    k = PowerLawKernel(1.0, 0.5, c=2.0)
    at, below = k.evaluate(np.array([-2.0, -3.0]))
    assert at == INF and math.isnan(below)
    assert k.integrate(0.0) == 0.0 and k.integrate(-1.0) < 0


def nonparametric_reference(edges, values, t):
    """Linear scan: the bin whose left edge is the last one <= t."""
    if not (0.0 <= t < edges[-1]):
        return 0.0
    return values[max(k for k in range(len(values)) if edges[k] <= t)]


def integral_reference(edges, values, t):
    total = 0.0
    for k in range(len(values)):
        if t <= edges[k]:
            break
        hi = edges[k + 1] if t >= edges[k + 1] else t
        total = total + (hi - edges[k]) * values[k]
    return total


@pytest.mark.parametrize("n_bins", [1, 2, 3, 7, 64, 1000])
def test_nonparametric_lookup_and_integral_match_plain_loops(rng, n_bins):
    edges = np.concatenate([[0.0], np.cumsum(rng.uniform(0.01, 1.0, n_bins))])
    values = rng.uniform(0.0, 2.0, n_bins)
    k = NonparametricKernel(edges, values)
    lags = np.concatenate([edges, rng.uniform(-1.0, edges[-1] + 1.0, 200), AWKWARD_LAGS])
    e, v, lags_list = edges.tolist(), values.tolist(), lags.tolist()
    expected = [nonparametric_reference(e, v, t) for t in lags_list]
    assert bits(k.evaluate(lags)) == bits(expected)
    expected = [integral_reference(e, v, t) for t in lags_list]
    assert bits(k.integrate_vec(lags)) == bits(expected) == bits(k.integrate(t) for t in lags_list)
    assert k.l1_norm().hex() == integral_reference(e, v, INF).hex()


def test_nonparametric_nan_lag_gives_zero_and_nan_integral():
    k = nonparametric([0, 1, 3], [2, 0.5])
    assert k.evaluate(np.array([NAN, 0.5])).tolist() == [0.0, 2.0]
    assert math.isnan(k.integrate(NAN)) and math.isnan(k.integrate_vec(np.array([NAN]))[0])


# ---------------------------------------------------------------------------------------------
# scale, ownership and the borrow rules


def test_scale_changes_only_alpha_and_validates_nothing():
    k = ExponentialKernel(0.5, 1.0)
    assert k.scale(-2.0) is None
    assert (k.alpha, k.beta, k.l1_norm(), k.has_recursive_form()) == (-1.0, 1.0, 1.0, True)
    p = PowerLawKernel(0.5, 1.5, 2.0)
    norm = p.l1_norm()
    p.scale(factor=3.0)
    assert (p.alpha, p.beta, p.c) == (1.5, 1.5, 2.0) and p.l1_norm() == pytest.approx(3 * norm)
    p.scale(-1.0)
    assert p.l1_norm() < 0
    n = nonparametric([0, 1, 3], [2, 0.5])
    n.scale(2.0)
    assert n.values.tolist() == [4.0, 1.0] and n.l1_norm() == 6.0 and n.edges.tolist() == [0, 1, 3]
    n.scale(NAN)
    assert math.isnan(n.l1_norm())


@pytest.mark.parametrize("kernel", [ExponentialKernel(0.5, 1.0), PowerLawKernel(0.5, 1.0)])
def test_failed_scale_conversion_leaves_the_kernel_unchanged(kernel):
    with pytest.raises(TypeError, match="^argument 'factor': "):
        kernel.scale("2")
    with pytest.raises(OverflowError):
        kernel.scale(10**400)
    assert kernel.alpha == 0.5


def test_nonparametric_owns_its_arrays():
    edges, values = np.array([0.0, 1.0, 3.0]), np.array([2.0, 0.5])
    k = NonparametricKernel(edges, values)
    edges[1], values[0] = 2.0, 9.0
    out_edges, out_values = k.edges, k.values
    out_edges[1], out_values[0] = 7.0, 7.0
    assert k.edges.tolist() == [0.0, 1.0, 3.0] and k.values.tolist() == [2.0, 0.5]
    assert k.edges is not k.edges and out_values.flags.writeable


class CallsBack:
    """A number whose conversion first calls back into a kernel."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 2.0


@pytest.mark.parametrize(
    "kernel", [ExponentialKernel(0.5, 1.0), PowerLawKernel(0.5, 1.0), nonparametric([0, 1], [0.5])]
)
def test_reentry_during_conversion(kernel):
    # scale holds the kernel exclusively while its factor converts...
    for read in (lambda: kernel.l1_norm(), lambda: repr(kernel), lambda: kernel.evaluate(np.ones(1))):
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            kernel.scale(CallsBack(read))
    # ...and every other method holds it shared, so scale from inside is refused.
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        kernel.integrate(CallsBack(lambda: kernel.scale(3.0)))
    # Shared uses nest, and every use is released afterwards.
    assert kernel.integrate(CallsBack(lambda: kernel.l1_norm())) == kernel.integrate(2.0)
    kernel.scale(1.0)
    assert kernel.l1_norm() == 0.5


# ---------------------------------------------------------------------------------------------
# The class objects


# Signatures and docstrings are compared with the published texts in test_docstrings.py.
@pytest.mark.parametrize(
    ("cls", "attributes"),
    [
        (ExponentialKernel, ("alpha", "beta", "allow_signed")),
        (PowerLawKernel, ("alpha", "beta", "c")),
        (NonparametricKernel, ("edges", "values", "n_bins")),
    ],
)
def test_class_shape(cls, attributes):
    assert cls.__module__ == "vostrel._libvostrel.kernels"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    instance = {ExponentialKernel: lambda: cls(1.0, 1.0), PowerLawKernel: lambda: cls(1.0, 1.0),
                NonparametricKernel: lambda: nonparametric([0, 1], [1])}[cls]()
    assert not hasattr(instance, "__dict__")
    assert str(inspect.signature(instance.scale)) == "(factor)"
    for name in attributes + ("other",):
        with pytest.raises(AttributeError):
            setattr(instance, name, 1.0)
    with pytest.raises(TypeError):
        instance.l1_norm(1)
    with pytest.raises(TypeError):
        cls.evaluate = None


def test_registration_order():
    assert kernels.__all__ == ["ExponentialKernel", "PowerLawKernel", "NonparametricKernel"]


@pytest.mark.parametrize(
    "misuse",
    [
        lambda: ExponentialKernel.__new__(PowerLawKernel, 1.0, 2.0),
        lambda: object.__new__(NonparametricKernel),
        lambda: ExponentialKernel.evaluate(PowerLawKernel(1.0, 1.0), np.ones(1)),
        lambda: NonparametricKernel.values.__get__(ExponentialKernel(1.0, 1.0)),
        lambda: __import__("copy").copy(PowerLawKernel(1.0, 1.0)),
        lambda: __import__("pickle").dumps(nonparametric([0, 1], [1])),
    ],
)
def test_no_instance_without_a_checked_constructor(misuse):
    with pytest.raises(TypeError):
        misuse()


def test_instances_release_their_class_and_arrays():
    import sys

    edges, values = np.array([0.0, 1.0]), np.array([1.0])
    before = (sys.getrefcount(NonparametricKernel), sys.getrefcount(edges), sys.getrefcount(values))
    for _ in range(1000):
        k = NonparametricKernel(edges, values)
        k.evaluate(edges)
        del k
    after = (sys.getrefcount(NonparametricKernel), sys.getrefcount(edges), sys.getrefcount(values))
    assert after == before
