"""Stop a run as soon as it is good enough, and keep the best point.

The run below could make 100 * (10,000 + 1) evaluations; it ends at the first
value at or below the target. Other conditions: max_evaluations, max_time
(seconds) and patience (evaluations without improvement). The module reports
the stop on standard error as a failed objective call; the result is kept.

    python examples/early_stop.py
"""
import kavell

import kavell_tools
from kavell_tools.problems import sphere


def main(target=1e-6):
    pso = kavell.PSO(100, 10_000, 0.5, 0.3, 0.3, 0.9)
    result = kavell_tools.minimize(pso, sphere, target=target, f64_min=[-5.12] * 10, f64_max=[5.12] * 10)
    print(f"stopped by {result.stop_reason!r} after {result.evaluations} evaluations: {result.value:.3g}")
    return result


if __name__ == "__main__":
    main()
