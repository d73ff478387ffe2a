"""A progress bar over a long run, with the best value so far beside it.

kavell_tools.minimize wraps the objective: it counts evaluations against the
run's particle_count * (iteration_count + 1) and shows them with tqdm
(pip install tqdm). Run it:

    python examples/progress_bar.py
"""
import kavell

import kavell_tools
from kavell_tools.problems import rastrigin


def main(particle_count=100, iteration_count=2_000):
    pso = kavell.PSO(particle_count, iteration_count, 0.5, 0.3, 0.3, 0.9)
    result = kavell_tools.minimize(pso, rastrigin, progress=True, f64_min=[-5.12] * 20, f64_max=[5.12] * 20)
    print(f"best value {result.value:.6g} after {result.evaluations} evaluations")
    return result


if __name__ == "__main__":
    main()
