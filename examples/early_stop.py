"""Stop a run as soon as it is good enough, and keep the best point.

The run below could make 200 * (5,000 + 1) evaluations; f is not called after
the first value at or below the target, and the run's remaining calls wind
down in about half a second. Other conditions: max_evaluations, max_time
(seconds) and patience (evaluations without an improvement larger than the
tolerance). The stop is quiet: nothing is written to standard error.

    python examples/early_stop.py
"""
import kavell_tools
from kavell_tools import RECOMMENDED
from kavell_tools.problems import sphere


def main(target=1e-6):
    pso = RECOMMENDED.for_budget(200 * 5_001).build()
    result = kavell_tools.minimize(pso, sphere, target=target, f64_min=[-5.12] * 10, f64_max=[5.12] * 10)
    print(f"stopped by {result.stop_reason!r} after {result.evaluations} evaluations: {result.value:.3g}")
    return result


if __name__ == "__main__":
    main()
