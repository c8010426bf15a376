"""When an excitation counts as vanishing, and the time scales at which a fit then searches the
decay it shapes: one rule for the joint fit (`fitting`) and the row-by-row fit (`network`).
A vanishing excitation leaves its decay poorly identified, so a local optimiser may stop at a
decay far from the best one; the search holds the decay at the data's time scales, from the
shortest gap to the longest window, evenly on the log scale.
"""

from __future__ import annotations

import math

#: An excitation closer to 0 than this many standard errors counts as vanishing.
WEAK_Z = 2.0
#: Time scales a decade (2 where the excitation is exactly 0: each then costs one gradient
#: unless the likelihood rises into the interior there; 1 otherwise, where each is a refit).
SCAN_PER_DECADE = {True: 2.0, False: 1.0}
#: At most this many time scales.
SCAN_MAX = 14
#: Iteration limit of the search's refits: they only have to beat the current optimum.
SCAN_ITER = 50


def scan_count(shortest: float, longest: float, per_decade: float) -> int:
    """How many time scales to search between the shortest gap and the longest window (3 to
    `SCAN_MAX`); 0 where the data span no range of time scales."""
    if not (0.0 < shortest < longest and math.isfinite(longest)):
        return 0
    decades = math.log10(longest / shortest)
    return int(min(SCAN_MAX, max(3, math.ceil(decades * per_decade) + 1)))
