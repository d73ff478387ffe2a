"""A progress bar over a long run, with the best value so far beside it.

kavell_tools.minimize wraps the objective: it counts evaluations against the
run's particle_count * (iteration_count + 1) and shows them with tqdm
(pip install tqdm). The swarm uses the recommended settings
(docs/choosing-settings.md) with a longer run. Run it:

    python examples/progress_bar.py
"""
import dataclasses

import kavell_tools
from kavell_tools import RECOMMENDED
from kavell_tools.problems import rastrigin


def main(particle_count=RECOMMENDED.particle_count, iteration_count=999):
    pso = dataclasses.replace(RECOMMENDED, particle_count=particle_count, iteration_count=iteration_count).build()
    result = kavell_tools.minimize(pso, rastrigin, progress=True, f64_min=[-5.12] * 20, f64_max=[5.12] * 20)
    print(f"best value {result.value:.6g} after {result.evaluations} evaluations")
    return result


if __name__ == "__main__":
    main()
