# Plots render to PNG under the Agg backend with the expected axes and artists; matplotlib is
# imported only when a plot is drawn.
import subprocess
import sys

import numpy as np
import pytest

import vostrel as vs

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from vostrel import plotting  # noqa: E402

MV = vs.MultivariateExponential([0.3, 0.2], [[0.2, 0.3], [0.0, 0.4]], 1.5)


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def test_qq_plot_has_band_points_and_diagonal():
    events = MV.simulate(300.0, seed=1)
    ax = plotting.qq_plot(vs.goodness_of_fit(events, MV))
    assert len(ax.collections) == 2  # one band per dimension
    assert len(ax.lines) == 3 and ax.get_legend() is not None
    assert ax.get_xlabel() == "Exp(1) quantile"
    ax1 = plotting.qq_plot(np.random.default_rng(0).exponential(size=50000))
    assert len(ax1.lines[0].get_xdata()) <= 2000


def test_intensity_plot_draws_each_dimension_and_its_events():
    events = MV.simulate(100.0, seed=2)
    ax = plotting.intensity_plot(MV, events, start=10.0, end=50.0)
    assert len(ax.lines) == 4  # an intensity line and a row of ticks per dimension
    assert ax.get_xlim() == (10.0, 50.0)
    ticks = np.concatenate([ax.lines[1].get_xdata(), ax.lines[3].get_xdata()])
    r = events[0]
    assert sorted(ticks) == sorted(r.times[(r.times >= 10.0) & (r.times <= 50.0)])


def test_kernel_plot_and_heatmap():
    ax = plotting.kernel_plot(MV)
    assert len(ax.lines) == 4 and len(ax.get_legend().get_texts()) == 4
    ax = plotting.kernel_plot(vs.PowerLaw(1.0, 0.5, 1.0, 1.0), log=True)
    assert ax.get_xscale() == "log" and len(ax.lines) == 1
    ax = plotting.alpha_heatmap(MV, labels=["a", "b"])
    assert len(ax.images) == 1 and len(ax.texts) == 4
    assert [t.get_text() for t in ax.get_xticklabels()] == ["a", "b"]
    with pytest.raises(TypeError, match="needs a MultivariateExponential"):
        plotting.alpha_heatmap(vs.Exponential())


def test_diagnostic_figure_saves_a_png(tmp_path):
    events = MV.simulate(300.0, seed=3)
    result = vs.fit(events, vs.MultivariateExponential(), n_starts=1)
    path = tmp_path / "fit.png"
    figure = plotting.diagnostic_figure(result, events, path=str(path))
    assert len(figure.axes) == 6  # five panels and the heat map's colour bar
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_matplotlib_is_imported_only_for_a_plot():
    code = "import sys, vostrel, vostrel.plotting; print('matplotlib' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


def test_missing_matplotlib_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match=r"vostrel\[plot\]"):
        plotting.kernel_plot(vs.Exponential())


# -- what a statistician reads off the plots ----------------------------------------------------

UNI = vs.Exponential(0.5, 0.6, 2.0)


@pytest.fixture(scope="module")
def uni_fit():
    events = UNI.simulate(400.0, seed=8)
    return events, vs.fit(events, vs.Exponential(), n_starts=1)


@pytest.mark.parametrize(
    "model, log",
    [
        (vs.PowerLaw(0.5, 0.5, 1.0, 1.5), True),
        (vs.ApproxPowerLaw(), True),
        (vs.Exponential(), False),
        (MV, False),
    ],
)
def test_heavy_tailed_kernels_default_to_log_log_axes(model, log):
    ax = plotting.kernel_plot(model, time_unit="ms")
    assert (ax.get_xscale() == "log") is log and (ax.get_yscale() == "log") is log
    assert ax.get_xlabel() == "lag (ms)" and ax.get_ylabel() == "φ(lag) (per ms)"


def test_kernel_band_from_the_fit_covers_the_kernel_and_narrows_with_data(uni_fit):
    events, result = uni_fit
    ax = plotting.kernel_plot(result)
    assert len(ax.collections) == 1
    assert any("95% pointwise band" in t.get_text() for t in ax.get_legend().get_texts())
    lags = np.linspace(0.05, 2.0, 40)
    lower, upper, used = plotting._kernel_draws(result, lags, 400, 0.95, 0)
    fitted = result.model.kernel(lags)
    assert used == 400 and np.all(lower <= fitted) and np.all(fitted <= upper)
    more = UNI.simulate(4000.0, seed=9)
    narrow = plotting._kernel_draws(vs.fit(more, vs.Exponential(), n_starts=1), lags, 400, 0.95, 0)
    assert np.median(narrow[1] - narrow[0]) < 0.5 * np.median(upper - lower)
    # A model alone has no uncertainty to show.
    assert len(plotting.kernel_plot(result.model).collections) == 0


def test_axes_carry_the_data_time_unit(uni_fit):
    events, result = uni_fit
    timed = vs.Events(list(events), 1, time_unit="s")
    ax = plotting.intensity_plot(result, timed, end=30.0)
    assert ax.get_xlabel() == "time (s)" and ax.get_ylabel() == "intensity (per s)"
    figure = plotting.diagnostic_figure(result, timed)
    assert figure.axes[1].get_xlabel() == "lag (s)"


def test_binned_intensity_over_a_long_window_adds_up(uni_fit):
    events, result = uni_fit
    r = events[0]
    ax = plotting.intensity_plot(result, events, max_events=100, n_bins=40)
    assert "40 bins" in ax.get_title()
    (stairs,) = [p for p in ax.patches]
    mean, edges = stairs.get_data().values, stairs.get_data().edges
    width = edges[1] - edges[0]
    # The model's expected count over the window, bin by bin, is its compensator.
    total = result.model._compensator_increments(r, result.model._history(r)).sum()
    assert mean.sum() * width == pytest.approx(total, rel=1e-6)
    # The observed rates count every event once.
    rates = ax.lines[0].get_ydata()
    assert np.rint(rates * width).sum() == r.n_events


@pytest.mark.parametrize("detrend", [False, True])
def test_count_against_compensator_ends_at_the_totals(uni_fit, detrend):
    events, result = uni_fit
    r = events[0]
    ax = plotting.compensator_plot(result, events, detrend=detrend)
    x, y = ax.lines[0].get_xdata(), ax.lines[0].get_ydata()
    total = result.model._compensator_increments(r, result.model._history(r)).sum()
    assert x[-1] == pytest.approx(total, rel=1e-12)
    assert y[-1] == pytest.approx(r.n_events - (total if detrend else 0.0), rel=1e-12)
    assert len(ax.collections) == 1  # the Poisson band
    texts = [t.get_text() for t in ax.get_legend().get_texts()]
    assert "95% pointwise Poisson band" in texts


def test_several_dimensions_share_one_compact_legend():
    events = MV.simulate(300.0, seed=4)
    ax = plotting.compensator_plot(MV, events)
    texts = [t.get_text() for t in ax.get_legend().get_texts()]
    assert texts[:2] == ["dimension 0", "dimension 1"] and len(texts) == len(set(texts))
    ax = plotting.qq_plot(vs.goodness_of_fit(events, MV))
    texts = [t.get_text() for t in ax.get_legend().get_texts()]
    assert texts[0].startswith("dimension 0: n=") and "95% pointwise bands" in texts[-1]


def test_figure_title_and_test_in_the_legend(uni_fit):
    events, result = uni_fit
    gof = vs.goodness_of_fit(events, result, n_boot=4)
    figure = plotting.diagnostic_figure(result, events, gof=gof)
    title = figure._suptitle.get_text()
    assert "Exponential" in title and "log-likelihood" in title and "converged" in title
    texts = [t.get_text() for t in figure.axes[0].get_legend().get_texts()]
    assert texts[0] == f"n={gof.n[0]}, bootstrap p={gof.p_values[0]:.3g}"
    assert "95% pointwise band" in texts[1]
    assert plotting.diagnostic_figure(UNI, events, title="mine")._suptitle.get_text() == "mine"
