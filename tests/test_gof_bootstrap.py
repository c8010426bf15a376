# The parametric-bootstrap goodness of fit: the same bits on every executor, its p-value from
# its own bootstrap statistics, failures counted, families without a simulator refused, the
# kind of test stated, NaN never passing, and no import cycle between diagnostics and plots.
import ast
import concurrent.futures
import math
import pathlib

import numpy as np
import pytest

import vostrel as vs
from vostrel import diagnostics

TRUTH = vs.Exponential(0.5, 0.6, 2.0)


@pytest.fixture(scope="module")
def fitted():
    events = TRUTH.simulate(150.0, seed=5, n=2)
    return events, vs.fit(events, vs.Exponential(), n_starts=1)


@pytest.fixture(scope="module")
def serial(fitted):
    events, result = fitted
    return vs.goodness_of_fit(events, result, n_boot=8, seed=11)


def _same(a, b):
    np.testing.assert_array_equal(a.boot_statistics, b.boot_statistics)
    np.testing.assert_array_equal(a.p_values, b.p_values)


@pytest.mark.parametrize(
    "make_executor",
    [
        lambda: concurrent.futures.ThreadPoolExecutor(2),
        lambda: concurrent.futures.ProcessPoolExecutor(2),
    ],
    ids=["threads", "processes"],
)
def test_same_bits_on_every_executor(fitted, serial, make_executor):
    events, result = fitted
    with make_executor() as pool:
        _same(serial, vs.goodness_of_fit(events, result, n_boot=8, seed=11, executor=pool))
    # The method on the result forwards its options.
    _same(serial, result.goodness_of_fit(events, n_boot=8, seed=11))


def test_same_bits_on_dask(fitted, serial):
    distributed = pytest.importorskip("distributed")
    with distributed.Client(
        processes=False, n_workers=1, threads_per_worker=2, dashboard_address=":0"
    ) as client:
        _same(serial, vs.goodness_of_fit(*fitted, n_boot=8, seed=11, executor=client))


def test_p_value_counts_bootstrap_statistics_at_least_the_observed(fitted, serial):
    events, result = fitted
    boot = serial.boot_statistics[:, 0]
    assert serial.method == "bootstrap" and serial.n_boot == 8 and boot.shape == (8,)
    assert np.all(np.isfinite(boot)) and serial.n_failed == 0
    expected = (1 + np.count_nonzero(boot >= serial.statistics[0])) / 9
    assert serial.p_values[0] == expected
    # The observed statistic is the plain test's, and a different seed draws other datasets.
    plain = vs.goodness_of_fit(events, result, n_boot=0)
    assert plain.statistics[0] == serial.statistics[0]
    assert plain.p_values[0] == serial.ks_p_values[0]
    other = vs.goodness_of_fit(events, result, n_boot=8, seed=12)
    assert not np.array_equal(other.boot_statistics, serial.boot_statistics)


def test_joint_p_value_over_dimensions():
    mv = vs.MultivariateExponential([0.3, 0.2], [[0.2, 0.3], [0.0, 0.4]], 1.5)
    events = mv.simulate(200.0, seed=2)
    result = vs.fit(events, mv, start="model", n_starts=1)
    gof = vs.goodness_of_fit(events, result, n_boot=9, seed=4)
    scaled = np.sqrt(gof.n) * gof.boot_statistics
    observed = np.max(np.sqrt(gof.n) * gof.statistics)
    assert gof.joint_p_value == (1 + np.count_nonzero(scaled.max(axis=1) >= observed)) / 10
    assert "all dimensions at once" in gof.summary()
    assert math.isnan(vs.goodness_of_fit(events, result, n_boot=0).joint_p_value)


def test_refits_hold_the_fixed_parameters_and_start_at_the_fit(monkeypatch):
    events = TRUTH.simulate(150.0, seed=6)
    result = vs.fit(events, vs.Exponential(beta=2.0), fixed="beta", n_starts=1)
    calls = []
    real_fit = diagnostics.fit

    def recording_fit(data, model, **options):
        calls.append((model, options))
        return real_fit(data, model, **options)

    monkeypatch.setattr(diagnostics, "fit", recording_fit)
    gof = vs.goodness_of_fit(events, result, n_boot=3, fit_options={"max_iter": 50})
    assert len(calls) == 3 and gof.n_failed == 0
    for model, options in calls:
        assert model == result.model
        assert options["fixed"] == ["beta"] and options["start"] == "model"
        assert options["max_iter"] == 50


def test_a_clear_misfit_is_rejected():
    # Poisson (alpha held at 0) against strongly clustered data.
    events = vs.Exponential(0.2, 0.8, 1.0).simulate(600.0, seed=3)
    result = vs.fit(events, vs.Exponential(alpha=0.0), fixed="alpha", n_starts=1)
    gof = vs.goodness_of_fit(events, result, n_boot=19, seed=1)
    assert gof.p_values[0] == pytest.approx(1 / 20) and not gof.passed()
    assert gof.summary().endswith("the test rejects the model")


def test_failed_refits_are_counted_and_reported(fitted):
    events, result = fitted
    # max_iter=0 is refused by every refit.
    gof = vs.goodness_of_fit(events, result, n_boot=4, fit_options={"max_iter": 0})
    assert gof.n_failed == 4 and np.all(np.isnan(gof.boot_statistics))
    assert math.isnan(gof.p_values[0]) and not gof.passed()
    assert "4 of 4 bootstrap replicates failed" in gof.summary()
    assert "max_iter" in gof.failures[0]
    assert "no verdict" in gof.summary() and "failed=4" in repr(gof)


@pytest.mark.parametrize(
    "model, events, error",
    [
        (
            vs.MarkedExponential(),
            vs.Events.from_arrays([1.0, 2.0, 3.5, 4.0], 10.0, marks=[1.0, 2.0, 0.5, 1.0]),
            NotImplementedError,
        ),
        (
            vs.NonlinearExponential(),
            vs.Events.from_arrays([1.0, 2.0, 3.5, 4.0], 10.0),
            NotImplementedError,
        ),
    ],
    ids=["marked", "nonlinear"],
)
def test_families_without_a_simulator_say_so(model, events, error):
    result = vs.fit(events, model, n_starts=1)
    with pytest.raises(error, match=r"parametric bootstrap simulates.*n_boot=0"):
        vs.goodness_of_fit(events, result, n_boot=3)
    assert vs.goodness_of_fit(events, result, n_boot=0).method == "ks"


def test_kind_of_test_is_stated_everywhere(fitted, serial):
    events, result = fitted
    plain = vs.goodness_of_fit(events, result.model)
    for text in (plain.summary(), plain._repr_html_()):
        assert "plain KS test" in text and "conservative" in text
    assert "plain KS" in repr(plain)
    for text in (serial.summary(), serial._repr_html_()):
        assert "parametric bootstrap" in text and "8 of 8 refits" in text
    assert "bootstrap B=8" in repr(serial)
    # n_boot=0 on a FitResult adds a note that points to the calibrated test.
    assert "n_boot > 0" in vs.goodness_of_fit(events, result, n_boot=0).summary()


def test_no_events_and_nan_never_pass():
    empty = vs.Events.from_arrays(np.array([]), 10.0)
    with pytest.raises(ValueError, match="no events"):
        vs.goodness_of_fit(empty, TRUTH)
    # A dimension without events cannot pass, and the summary says why.
    mv = vs.MultivariateExponential([0.3, 0.2], [[0.2, 0.0], [0.0, 0.2]], 1.5)
    only_first = vs.Events.from_arrays([1.0, 2.0, 4.0], 10.0, dims=[0, 0, 0], n_dims=2)
    gof = vs.goodness_of_fit(only_first, mv)
    assert math.isnan(gof.p_values[1]) and not gof.passed()
    assert "dimension 1 has no events" in gof.summary()
    nan = diagnostics.GoodnessOfFit(
        residuals=(np.ones(3),),
        statistics=np.array([np.nan]),
        p_values=np.array([np.nan]),
        n=np.array([3]),
        model_name="Exponential",
    )
    assert not nan.passed() and "no verdict" in str(nan)


def test_an_explosive_fit_cannot_be_bootstrapped(fitted):
    import dataclasses

    events, result = fitted
    explosive = dataclasses.replace(result, model=vs.Exponential(0.5, 1.2, 2.0))
    with pytest.raises(ValueError, match=r"cannot simulate a model whose branching ratio.*n_boot=0"):
        vs.goodness_of_fit(events, explosive, n_boot=3)


def test_data_other_than_the_fit_s_are_noted(fitted):
    events, result = fitted
    other = TRUTH.simulate(100.0, seed=99)
    gof = vs.goodness_of_fit(other, result, n_boot=2)
    assert any("the fit's data" in n for n in gof.notes)


@pytest.mark.parametrize(
    "kwargs, error, match",
    [
        ({"n_boot": 5}, ValueError, "n_boot > 0 needs a FitResult"),
        ({"n_boot": -1}, ValueError, "n_boot"),
        ({"seed": -1}, ValueError, "seed"),
        ({"seed": 1.5}, TypeError, "seed"),
        ({"executor": "pool"}, TypeError, "executor must be"),
        ({"fit_options": {"fixed": "beta"}}, ValueError, "must not set 'fixed'"),
    ],
)
def test_bad_arguments_name_themselves(fitted, kwargs, error, match):
    events, result = fitted
    source = TRUTH if kwargs.get("n_boot") == 5 else result
    with pytest.raises(error, match=match):
        vs.goodness_of_fit(events, source, **{"n_boot": 2, **kwargs})


def _package_imports():
    """module -> modules of the package it imports anywhere (function bodies included)."""
    root = pathlib.Path(vs.__file__).parent
    graph = {}
    for path in root.rglob("*.py"):
        module = ".".join(path.relative_to(root.parent).with_suffix("").parts)
        module = module.removesuffix(".__init__")
        package = module if path.name == "__init__.py" else module.rpartition(".")[0]
        edges = set()
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom) and node.level:
                base = package.rsplit(".", node.level - 1)[0] if node.level > 1 else package
                target = f"{base}.{node.module}" if node.module else base
                edges.add(target)
                edges.update(f"{target}.{a.name}" for a in node.names)
        graph[module] = {e for e in edges if e != module}
    return graph


def _reaches(graph, start, goal):
    seen, todo = set(), [start]
    while todo:
        node = todo.pop()
        for nxt in graph.get(node, ()):
            if nxt == goal:
                return True
            if nxt not in seen:
                seen.add(nxt)
                todo.append(nxt)
    return False


def test_diagnostics_and_plotting_import_no_cycle():
    graph = _package_imports()
    assert not _reaches(graph, "vostrel.diagnostics", "vostrel.plotting")
    assert not _reaches(graph, "vostrel._plotbase", "vostrel.diagnostics")
    assert not _reaches(graph, "vostrel.plotting", "vostrel.plotting")
