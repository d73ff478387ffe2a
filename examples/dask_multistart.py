"""Independent runs spread over a Dask cluster (pip install "dask[distributed]").

The same call works on a LocalCluster, as here, and on a real cluster:
replace the LocalCluster with Client("tcp://scheduler-address:8786"). The
objective must be picklable: a function defined at module level in a module
the workers can import (kavell_tools.problems here), or one cloudpickle can
send by value.

A failing objective is reported as an ordinary exception in the caller,
chained to what the objective raised, instead of hanging the gather.

    python examples/dask_multistart.py
"""
from dask.distributed import Client, LocalCluster

import kavell_tools
from kavell_tools import RECOMMENDED
from kavell_tools.problems import rastrigin

BOUNDS = {"f64_min": [-5.12] * 10, "f64_max": [5.12] * 10}


def fails_on_the_right_half(f64):
    if f64[0] > 0:
        raise ValueError(f"cannot score {f64[0]:.3f}")
    return sum(x * x for x in f64)


def main(runs=8, workers=2, settings=RECOMMENDED, timeout=120):
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        result = kavell_tools.multistart(
            rastrigin, runs, settings=settings, executor=client, timeout=timeout, **BOUNDS
        )
        print(f"best of {runs} runs: {result.value:.4g} (run {result.best.index})")
        print("every run:", ", ".join(f"{run.value:.3g}" for run in result.runs))
        try:
            kavell_tools.multistart(
                fails_on_the_right_half, 2, settings=settings, executor=client, timeout=timeout, **BOUNDS
            )
        except kavell_tools.MultiStartFailed as error:
            failure = error
            print(f"the failing objective: {error.__cause__.__cause__!r}")
    return result, failure


if __name__ == "__main__":
    main()
