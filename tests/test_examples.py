"""The examples run and find their known optimum."""
import pathlib
import runpy
import subprocess
import sys
from decimal import Decimal

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def test_mixed_integer_example_finds_the_optimum(capsys):
    example = runpy.run_path(str(EXAMPLES / "mixed_integer.py"))
    value, point = example["main"]()
    printed = capsys.readouterr().out
    assert set(point) == {"i32", "f64", "d"}
    assert point["i32"] == [7]
    assert abs(point["f64"][0] - 2.5) < 1e-3
    assert abs(point["d"][0] - Decimal("1.25")) < Decimal("0.001")
    assert 0 <= value < 1e-6
    assert "machines:  7" in printed


def load_example(name):
    return runpy.run_path(str(EXAMPLES / name))


def test_production_plan_finds_the_best_feasible_plan_by_min_and_by_max(capsys):
    example = load_example("production_plan.py")
    (by_min, min_point), (by_max, max_point) = example["main"]()
    printed = capsys.readouterr().out.splitlines()
    assert min_point == max_point == {"i32": [20, 30]}
    assert by_min == (0, -1100)
    # max negates the negated best once more: the result is a Plan again.
    assert type(by_max) is example["Plan"]
    assert by_max == (0, 1100)
    assert printed == ["min: plan [20, 30], violation 0, profit 1100",
                       "max: plan [20, 30], Plan(feasibility=0, profit=1100)"]


def test_production_plan_ranks_feasibility_before_profit():
    example = load_example("production_plan.py")
    cost, plan = example["cost"], example["plan"]
    # 40 A and 40 B earn far more but break both limits.
    assert cost([40, 40]) > cost([0, 0]) > cost([20, 30])
    assert plan([40, 40]) < plan([0, 0]) < plan([20, 30])
    assert -plan([20, 30]) == (0, -1100)


def run_example(name, *args, **kwargs):
    return load_example(name)["main"](*args, **kwargs)


def test_progress_bar_example_counts_the_whole_run(capsys):
    pytest.importorskip("tqdm")
    result = run_example("progress_bar.py", particle_count=20, iteration_count=30)
    assert result.evaluations == 20 * 31 and result.stop_reason is None
    assert "620/620" in capsys.readouterr().err


def test_early_stop_example_stops_at_the_target_quietly(capfd):
    result = run_example("early_stop.py", target=1e-3)
    assert result.stop_reason == "target" and result.value <= 1e-3
    assert result.evaluations < 200 * 5_001
    assert capfd.readouterr().err == ""


def test_convergence_plot_example_writes_a_png(tmp_path):
    pytest.importorskip("matplotlib")
    path = tmp_path / "convergence.png"
    runs = run_example("convergence_plot.py", str(path), budget=3_000)
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and path.stat().st_size > 10_000
    assert all(result.evaluations == 3_000 for result in runs.values())


def test_peer_comparison_example_uses_equal_budgets():
    pytest.importorskip("pyswarms")
    pytest.importorskip("scipy")
    scores = run_example("compare_peers.py", budget=2_000)
    assert set(scores) == {"kavell_tools.optimize", "kavell defaults", "kavell recommended", "toolkit restarts",
                           "pyswarms", "scipy DE"}
    assert all(0 <= value < 25 for value in scores.values())  # Ackley's values lie in [0, 22.4]


def test_dask_example_runs_on_a_local_cluster_and_reports_a_failure():
    pytest.importorskip("distributed")
    # A separate interpreter with a hard time limit: worker processes that
    # fail to start or stop can never hang the suite.
    script = (
        "import runpy, sys\n"
        "from kavell_tools import Settings\n"
        f"main = runpy.run_path({str(EXAMPLES / 'dask_multistart.py')!r})['main']\n"
        "result, failure = main(runs=4, settings=Settings(20, 20), timeout=600)\n"
        "assert len(result.runs) == 4 and all(run.ok and run.evaluations == 420 for run in result.runs)\n"
        "assert result.value == min(run.value for run in result.runs)\n"
        "assert isinstance(failure, RuntimeError)\n"
        "assert type(failure.__cause__.__cause__) is ValueError, repr(failure.__cause__)\n"
        "print('dask example ok')\n"
    )
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=900,
                             cwd=EXAMPLES.parent)
    assert run.returncode == 0, run.stdout[-3000:] + run.stderr[-3000:]
    assert "dask example ok" in run.stdout
