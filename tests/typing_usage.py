# Typical use of the package, type-checked with mypy --strict by test_typing.py (not run).
import numpy as np
import numpy.typing as npt

import vostrel as vs
from vostrel import plotting

events: vs.Events = vs.Events.from_arrays(np.array([0.5, 1.2, 3.0]), end_time=5.0)
model: vs.Exponential = vs.Exponential(mu=0.5, alpha=0.5, beta=1.0)
result: vs.FitResult = vs.fit(
    events, model, fixed=["beta"], bounds={"alpha": (0.0, 0.9)}, n_starts=2
)
estimates: npt.NDArray[np.float64] = result.estimates
interval: npt.NDArray[np.float64] = result.conf_int(0.9)
ratio: float = result.branching_ratio
text: str = result.summary()
profile: npt.NDArray[np.float64] = vs.profile_intervals(events, result, "alpha", 0.9)
both: npt.NDArray[np.float64] = result.conf_int(0.95, "profile", events=events)
profiled: vs.FitResult = result.with_profile(events, ["alpha"])
test: vs.LikelihoodRatioTest = vs.likelihood_ratio_test(events, result, "alpha")
rejected: bool = test.rejects(0.01)
gof: vs.GoodnessOfFit = vs.goodness_of_fit(events, result.model)
p_value: float = float(gof.p_values[0])
simulated: vs.Events = vs.MultivariateExponential(
    [0.2, 0.3], [[0.1, 0.2], [0.0, 0.3]], 1.0
).simulate(10.0, seed=1, n=2)
first: vs.Realization = simulated[0]
intensity: npt.NDArray[np.float64] = model.intensity(events, np.linspace(0.0, 5.0, 11))
compensators: list[npt.NDArray[np.float64]] = vs.compensator(events, model)
figure = plotting.diagnostic_figure(result, events)
calibrated: vs.GoodnessOfFit = vs.goodness_of_fit(
    events, result, n_boot=99, seed=1, fit_options={"bounds": {"alpha": (0.0, 0.9)}}
)
passed: bool = calibrated.passed(0.05)
kind: str = calibrated.kind
axes = plotting.compensator_plot(result, events, detrend=True)
axes = plotting.kernel_plot(result, time_unit="s", level=0.9)
figure = plotting.diagnostic_figure(result, events, gof=calibrated, title="fit")
