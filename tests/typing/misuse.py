"""Misuse of kavell and kavell_tools that mypy --strict must reject.

Each line that must fail carries a comment "E:" and the mypy error code;
tests/test_stubs.py checks that exactly those lines fail with those codes.
"""
import kavell
import kavell_tools


def cost(f64: list[float]) -> float:
    return f64[0]


def nothing(f64: list[float]) -> None:
    return None


def text(f64: list[float]) -> str:
    return "text"


pso = kavell.PSO(particle_count=1.5)  # E: arg-type
pso.particle_count = "many"  # E: assignment
pso.cognitive_coefficient = "1.0"  # E: assignment
pso.min(cost, i32_maxx=[1])  # E: call-arg
pso.min(cost, f64_min="0.0")  # E: arg-type
pso.min(cost, f64_min={0.0})  # E: arg-type
pso.min(cost, i8_min=[1.5])  # E: list-item
pso.min(cost, c64_min=["1j"])  # E: list-item
pso.min(cost, d_min=[object()])  # E: list-item
pso.min(nothing)  # E: type-var
pso.max(text)  # E: arg-type
pso.min()  # E: call-arg
best: str = pso.min(cost)[0]  # E: assignment
pso.speed = 3  # E: attr-defined
kavell.PanicException  # E: attr-defined
kavell_tools.minimize(pso, cost, f64_maxx=[1.0])  # E: call-arg
kavell_tools.minimize(pso, cost, targt=1e-6)  # E: call-arg
kavell_tools.maximize(pso, cost, f64_min=["0.0"])  # E: list-item
kavell_tools.restarts(cost, 100, i8_min=[1.5])  # E: list-item
kavell_tools.multistart(cost, 4, d_min=[object()])  # E: list-item
kavell_tools.optimize(cost, 100, distribute="sometimes")  # E: arg-type
kavell_tools.optimize(cost, 100, executor=4)  # E: arg-type
kavell_tools.minimize(pso, cost, patience="long")  # E: arg-type
toolkit_best: str = kavell_tools.minimize(pso, cost, f64_min=[0.0], f64_max=[1.0]).value  # E: assignment
