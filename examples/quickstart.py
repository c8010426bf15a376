"""Quick start: simulate a Hawkes process, fit it with standard errors, test the fit, and save a
diagnostic figure.

Run: python examples/quickstart.py [figure.png]
"""

import sys

import vostrel as vs
from vostrel import plotting


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else "quickstart.png"

    # Four realisations of an exponential Hawkes process (or load your own with
    # vs.Events.from_arrays / from_realizations / from_dataframe).
    truth = vs.Exponential(mu=0.5, alpha=0.6, beta=2.0)
    events = truth.simulate(end_time=2500.0, seed=1, n=4)
    print(events)

    result = vs.fit(events, vs.Exponential(), seed=0)
    print(result.summary())

    # Given the fit's result, the test is a parametric bootstrap (refits of data simulated
    # from the fitted model), calibrated for the estimated parameters.
    gof = vs.goodness_of_fit(events, result, n_boot=199, seed=0)
    print(gof.summary())

    plotting.diagnostic_figure(result, events, path=path, gof=gof)
    print(f"diagnostic figure saved to {path}")


if __name__ == "__main__":
    main()
