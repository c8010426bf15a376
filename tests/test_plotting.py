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
