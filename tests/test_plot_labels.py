# What the baseline plot and the forecast fan chart say in their legends and how they shade:
# labels and colours of the artists (Agg backend), not pixels.
import numpy as np
import pytest

import vostrel as vs
from vostrel.baselines import LogLinearBaseline, PeriodicBaseline, WithBaseline, baseline_plot

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
from matplotlib import colors, pyplot  # noqa: E402


@pytest.fixture(autouse=True)
def _close_figures():
    yield
    pyplot.close("all")


def _legend(ax):
    return [text.get_text() for text in ax.get_legend().get_texts()]


DAILY = PeriodicBaseline(24.0, n_bins=4, values=[0.2, 0.6, 0.9, 0.4])


@pytest.mark.parametrize(
    "baseline, level, label",
    [
        (DAILY, 0.95, "95% log-Wald interval"),
        (DAILY, 0.975, "97.5% log-Wald interval"),
        (LogLinearBaseline(0.4, 0.001), 0.9, "90% log-Wald band"),
    ],
)
def test_baseline_plot_names_the_kind_of_its_intervals(baseline, level, label):
    truth = WithBaseline(vs.Exponential(0.0, 0.3, 2.0), baseline)
    result = vs.fit(truth.simulate(24 * 20.0, seed=1), WithBaseline(vs.Exponential(), baseline))
    ax = baseline_plot(result, level=level, start=0.0, end=480.0)
    assert label in _legend(ax)


def test_fan_chart_shades_nested_bands_apart_and_names_each_level():
    model = vs.Exponential(0.5, 0.4, 2.0)
    forecast = model.forecast(model.simulate(100.0, seed=2), 10.0, 200, seed=3)
    ax = forecast.plot(levels=(0.8, 0.5, 0.95, 0.975))
    bands = [c for c in ax.collections if c.get_label().endswith("band")]
    # Widest first, each narrower one darker (drawn over it), one legend entry per level.
    assert [b.get_label() for b in bands] == ["97.5% band", "95% band", "80% band", "50% band"]
    shades = [colors.to_rgba(b.get_facecolor()[0]) for b in bands]
    assert len(set(shades)) == 4 and all(s[3] == 1.0 for s in shades)
    brightness = [sum(s[:3]) for s in shades]
    assert brightness == sorted(brightness, reverse=True)
    assert _legend(ax)[:4] == ["97.5% band", "95% band", "80% band", "50% band"]
    with pytest.raises(ValueError, match="levels must lie in"):
        forecast.plot(levels=(0.5, 1.0))
