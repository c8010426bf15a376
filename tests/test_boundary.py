# The boundary every callable shares: argument matching messages, conversions of doubles and
# arrays, contiguity, result arrays, and inputs that are known to break extension modules.
import gc
import sys

import numpy as np
import pytest

from vostrel._libvostrel.likelihood import uni_exp_neg_ll, uni_exp_neg_ll_with_grad

T = np.array([0.5, 1.0, 2.5])


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((T, 1.0, 2.0, 3.0), {}, "uni_exp_neg_ll() missing 1 required positional argument: 'beta'"),
        ((T, 1.0, 2.0), {}, "uni_exp_neg_ll() missing 2 required positional arguments: 'alpha' and 'beta'"),
        ((), {}, "uni_exp_neg_ll() missing 5 required positional arguments: 'times', 't_horizon', 'mu', 'alpha', and 'beta'"),
        ((T, 1.0, 2.0, 3.0, 4.0, 5.0), {}, "uni_exp_neg_ll() takes 5 positional arguments but 6 were given"),
        ((T, 1.0, 2.0, 3.0), {"beta": 1.0, "mu": 1.0}, "uni_exp_neg_ll() got multiple values for argument 'mu'"),
        ((T, 1.0, 2.0, 3.0), {"gamma": 1.0}, "uni_exp_neg_ll() got an unexpected keyword argument 'gamma'"),
        # Keywords are looked at in the caller's order, before any missing-argument check.
        ((), {"nope": 1.0, "times": T}, "uni_exp_neg_ll() got an unexpected keyword argument 'nope'"),
        ((T,), {"be\0ta": 1.0}, "uni_exp_neg_ll() got an unexpected keyword argument 'be\0ta'"),
        ((T,), {"\udc80": 1.0}, "uni_exp_neg_ll() got an unexpected keyword argument '\udc80'"),
    ],
)
def test_matching_messages(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        uni_exp_neg_ll(*args, **kwargs)
    assert str(info.value) == message


def test_all_keyword_call_matches_positional_call():
    by_keyword = uni_exp_neg_ll(beta=1.5, alpha=0.3, mu=0.7, t_horizon=3.0, times=T)
    assert by_keyword == uni_exp_neg_ll(T, 3.0, 0.7, 0.3, 1.5)


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexy:
    def __index__(self):
        return 3


class RaisingFloat:
    def __float__(self):
        raise ZeroDivisionError("nope")


class RaisingTypeErrorFloat:
    def __float__(self):
        raise TypeError("custom reason")


class Recursive:
    def __float__(self):
        return uni_exp_neg_ll(T, self, 1.0, 1.0, 1.0)


@pytest.mark.parametrize(
    "value", [3, True, np.float64(3.0), np.int64(3), Floaty(3.0), Indexy(), np.float32(3.0)]
)
def test_numbers_convert_to_double(value):
    assert uni_exp_neg_ll(T, value, 0.7, 0.3, 1.5) == uni_exp_neg_ll(T, float(value), 0.7, 0.3, 1.5)


def test_minus_one_is_a_valid_double():
    # -1.0 from __float__ is a value, not the signal of a pending exception.
    value = uni_exp_neg_ll(T, Floaty(-1.0), 0.7, 0.3, 1.5)
    assert value.hex() == uni_exp_neg_ll(T, -1.0, 0.7, 0.3, 1.5).hex()


@pytest.mark.parametrize(
    ("value", "exception", "message"),
    [
        ("3", TypeError, "argument 'mu': must be real number, not str"),
        (None, TypeError, "argument 'mu': must be real number, not NoneType"),
        (RaisingTypeErrorFloat(), TypeError, "argument 'mu': custom reason"),
        (RaisingFloat(), ZeroDivisionError, "nope"),
        (10**400, OverflowError, "int too large to convert to float"),
    ],
)
def test_double_conversion_failures(value, exception, message):
    with pytest.raises(exception) as info:
        uni_exp_neg_ll(T, 1.0, value, 0.3, 1.5)
    assert type(info.value) is exception
    assert str(info.value) == message
    if exception is TypeError:
        assert isinstance(info.value.__cause__, TypeError)


def test_first_failing_argument_wins():
    with pytest.raises(TypeError, match="argument 't_horizon'"):
        uni_exp_neg_ll(T, "x", "y", 0.3, 1.5)
    with pytest.raises(TypeError, match="argument 'times'"):
        uni_exp_neg_ll([1.0], "x", 0.3, 0.3, 1.5)


def test_deep_recursion_through_float_is_a_clean_error():
    with pytest.raises(RecursionError):
        uni_exp_neg_ll(T, Recursive(), 1.0, 1.0, 1.0)


def test_float_subclass_from_dunder_float_is_accepted_or_warned():
    class Sub(float):
        pass

    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        assert uni_exp_neg_ll(T, Floaty(Sub(3.0)), 0.7, 0.3, 1.5) == uni_exp_neg_ll(T, 3.0, 0.7, 0.3, 1.5)


class NdSub(np.ndarray):
    pass


@pytest.mark.parametrize(
    ("value", "message"),
    [
        ([0.5, 1.0], "argument 'times': 'list' object cannot be cast as 'ndarray'"),
        (np.float64(1.0), "argument 'times': 'float64' object cannot be cast as 'ndarray'"),
        (T.astype(np.float32), "argument 'times': 'ndarray' object cannot be cast as 'ndarray'"),
        (T.astype(">f8"), "argument 'times': 'ndarray' object cannot be cast as 'ndarray'"),
        (T.reshape(1, 3), "argument 'times': 'ndarray' object cannot be cast as 'ndarray'"),
        (np.array(1.0), "argument 'times': 'ndarray' object cannot be cast as 'ndarray'"),
        (T.astype(np.int64), "argument 'times': 'ndarray' object cannot be cast as 'ndarray'"),
    ],
)
def test_array_conversion_failures(value, message):
    with pytest.raises(TypeError) as info:
        uni_exp_neg_ll(value, 3.0, 0.7, 0.3, 1.5)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "view",
    [np.arange(4.0)[::2], np.arange(4.0)[::-1], np.arange(8.0).view("f8,f8")["f0"],
     np.frombuffer(bytearray(12 * 4), dtype=np.dtype({"names": ["a"], "formats": ["<f8"], "itemsize": 12}))["a"]],
)
def test_strided_arrays_are_refused_after_conversion(view):
    with pytest.raises(TypeError) as info:
        uni_exp_neg_ll(view, 3.0, 0.7, 0.3, 1.5)
    assert str(info.value) == "The given array is not contiguous"
    # Conversion of every argument happens before the contiguity check.
    with pytest.raises(TypeError, match="argument 'beta'"):
        uni_exp_neg_ll(view, 3.0, 0.7, 0.3, "x")


def test_one_element_strided_view_is_contiguous():
    view = np.array([0.5, 9.0])[::2]
    assert uni_exp_neg_ll(view, 3.0, 0.7, 0.3, 1.5) == uni_exp_neg_ll(np.array([0.5]), 3.0, 0.7, 0.3, 1.5)


def test_accepted_array_variants_give_the_same_bits():
    expected = uni_exp_neg_ll(T, 3.0, 0.7, 0.3, 1.5).hex()
    readonly = T.copy()
    readonly.flags.writeable = False
    raw = bytearray(3 * 8 + 1)
    unaligned = np.frombuffer(raw, dtype=np.float64, count=3, offset=1)
    unaligned[:] = T
    assert not unaligned.flags.aligned
    fortran = np.asfortranarray(T)
    for variant in (readonly, T.view(NdSub), unaligned, fortran, T.astype("=f8"), T.astype("<f8")):
        assert uni_exp_neg_ll(variant, 3.0, 0.7, 0.3, 1.5).hex() == expected


def test_zero_length_arrays_including_null_data():
    empty = np.empty(0)
    assert uni_exp_neg_ll(empty, 3.0, 0.5, 0.3, 1.5) == 1.5
    from_buffer = np.frombuffer(b"", dtype=np.float64)
    assert uni_exp_neg_ll(from_buffer, 3.0, 0.5, 0.3, 1.5) == 1.5


def test_argument_that_frees_an_earlier_one_is_harmless():
    holder = {"times": np.arange(1000.0) / 100.0}

    class Evil:
        def __float__(self):
            holder.clear()
            gc.collect()
            return 1.0

    expected = uni_exp_neg_ll(np.arange(1000.0) / 100.0, 10.0, 0.5, 1.0, 1.0)
    kwargs = {"times": holder["times"], "t_horizon": 10.0, "mu": 0.5, "alpha": Evil(), "beta": 1.0}
    assert uni_exp_neg_ll(**kwargs) == expected


def test_argument_that_resizes_an_earlier_array_is_refused_by_numpy_or_harmless():
    times = np.arange(100.0) / 10.0

    class Resizer:
        def __float__(self):
            try:
                times.resize(10_000, refcheck=True)
            except ValueError:
                pass  # NumPy refuses while we hold a reference: that is the protection
            return 1.0

    value = uni_exp_neg_ll(times, 10.0, 0.5, Resizer(), 1.0)
    assert np.isfinite(value)


def test_result_array_is_a_fresh_writeable_float64_array_owning_its_buffer_through_a_keeper():
    _, grad = uni_exp_neg_ll_with_grad(T, 3.0, 0.7, 0.3, 1.5)
    assert grad.dtype == np.float64 and grad.shape == (3,)
    assert grad.flags.c_contiguous and grad.flags.writeable and not grad.flags.owndata
    assert grad.base is not None and not isinstance(grad.base, np.ndarray)
    grad[0] = 42.0  # writeable and independent of any other result
    _, other = uni_exp_neg_ll_with_grad(T, 3.0, 0.7, 0.3, 1.5)
    assert other[0] != 42.0


def test_repeated_calls_do_not_leak_references_or_memory():
    import tracemalloc

    times = np.sort(np.random.default_rng(3).uniform(0, 10, 50))
    bad = [object(), "x", [1.0], times[::2]]

    def run():
        for _ in range(2000):
            uni_exp_neg_ll_with_grad(times, 10.0, 0.5, 0.3, 1.0)
            for b in bad:
                try:
                    uni_exp_neg_ll(b, 10.0, 0.5, 0.3, 1.0)
                except TypeError:
                    pass

    run()
    refs_before = sys.getrefcount(times)
    tracemalloc.start()
    before = tracemalloc.take_snapshot()
    run()
    after = tracemalloc.take_snapshot()
    tracemalloc.stop()
    growth = sum(s.size_diff for s in after.compare_to(before, "filename"))
    assert growth < 64_000
    assert sys.getrefcount(times) == refs_before


# --- booleans, unsigned integers and strings, through the callables that take them ---------

from vostrel._libvostrel.kernels import ExponentialKernel, PowerLawKernel  # noqa: E402
from vostrel._libvostrel.likelihood import nonlinear_uni_exp_neg_ll  # noqa: E402
from vostrel._libvostrel.simulation import simulate_uni_exp_hawkes  # noqa: E402


def fake_numpy_bool(**body):
    """An object whose type looks like NumPy's boolean scalar type."""
    return type("bool_", (), {"__module__": "numpy", **body})()


def test_numpy_bools_are_accepted():
    for value, expected in ((np.bool_(True), False), (np.True_, False), (np.False_, True)):
        assert ExponentialKernel(0.5, 1.0, allow_signed=value).has_recursive_form() is expected
    assert not ExponentialKernel(-0.5, 1.0, allow_signed=fake_numpy_bool(__bool__=lambda s: True)).has_recursive_form()


class BoolBoom(Exception):
    pass


def _raise(exception):
    raise exception


@pytest.mark.parametrize(
    ("value", "exception", "message"),
    [
        (1, TypeError, "argument 'allow_signed': 'int' object cannot be cast as 'bool'"),
        (None, TypeError, "argument 'allow_signed': 'NoneType' object cannot be cast as 'bool'"),
        (fake_numpy_bool(), TypeError,
         "argument 'allow_signed': object of type 'bool_' does not define a '__bool__' conversion"),
        (fake_numpy_bool(__bool__=lambda s: 2), TypeError,
         "argument 'allow_signed': __bool__ should return bool, returned int"),
        (fake_numpy_bool(__bool__=lambda s: _raise(BoolBoom("boom"))), BoolBoom, "boom"),
        (type("bool_", (), {"__module__": "numpyx", "__bool__": lambda s: True})(), TypeError,
         "argument 'allow_signed': 'bool_' object cannot be cast as 'bool'"),
    ],
)
def test_boolean_conversion_failures(value, exception, message):
    with pytest.raises(exception) as info:
        ExponentialKernel(0.5, 1.0, allow_signed=value)
    assert type(info.value) is exception and str(info.value) == message


@pytest.mark.parametrize("seed", [0, 2**64 - 1, True, np.uint64(7), np.int8(3)])
def test_unsigned_integers_convert(seed):
    result = simulate_uni_exp_hawkes(5.0, 1.0, 0.3, 1.0, seed)
    assert np.array_equal(result, simulate_uni_exp_hawkes(5.0, 1.0, 0.3, 1.0, int(seed)))


@pytest.mark.parametrize(
    ("seed", "exception", "message"),
    [
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        (10**400, OverflowError, None),
        (2.0, TypeError, "argument 'seed': 'float' object cannot be interpreted as an integer"),
        ("1", TypeError, "argument 'seed': 'str' object cannot be interpreted as an integer"),
        (None, TypeError, "argument 'seed': 'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_unsigned_integer_failures(seed, exception, message):
    with pytest.raises(exception) as info:
        simulate_uni_exp_hawkes(5.0, 1.0, 0.3, 1.0, seed)
    assert type(info.value) is exception
    if message is not None:
        assert str(info.value) == message
    else:
        assert not str(info.value).startswith("argument")


class StrSub(str):
    pass


def test_strings_and_str_subclasses_are_accepted():
    args = (np.array([0.5, 1.0]), 2.0, 0.5, 0.3, 1.0)
    assert nonlinear_uni_exp_neg_ll(*args, StrSub("relu"), 1.0, 16) == nonlinear_uni_exp_neg_ll(*args, "relu", 1.0, 16)


@pytest.mark.parametrize(
    ("link", "exception", "message"),
    [
        (b"relu", TypeError, "argument 'link': 'bytes' object cannot be cast as 'str'"),
        (None, TypeError, "argument 'link': 'NoneType' object cannot be cast as 'str'"),
        ("relu\0", ValueError,
         "link_function must be 'softplus', 'relu', 'sigmoid', or 'identity'; got 'relu\0' "
         "(callable link_function falls back to the JAX path)"),
        ("\udc80", UnicodeEncodeError, None),
    ],
)
def test_string_conversion_failures(link, exception, message):
    with pytest.raises(exception) as info:
        nonlinear_uni_exp_neg_ll(np.array([0.5]), 2.0, 0.5, 0.3, 1.0, link, 1.0, 16)
    assert type(info.value) is exception
    if message is not None:
        assert str(info.value) == message


def test_class_assignment_between_kernel_types_is_refused():
    kernel = ExponentialKernel(0.5, 1.0)
    with pytest.raises(TypeError):
        kernel.__class__ = PowerLawKernel
    assert type(kernel) is ExponentialKernel
