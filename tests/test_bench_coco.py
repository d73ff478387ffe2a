"""What the COCO bench counts (bench/coco/measures.py), against hand-worked cases.

The bench itself needs its own packages; these measures need none.
"""
import importlib.util
import pathlib
import random

MEASURES = pathlib.Path(__file__).resolve().parent.parent / "bench" / "coco" / "measures.py"
spec = importlib.util.spec_from_file_location("coco_measures", MEASURES)
measures = importlib.util.module_from_spec(spec)
spec.loader.exec_module(measures)


def test_target_fractions_and_ranks_match_hand_counts():
    assert len(measures.TARGETS) == 51 and measures.TARGETS[0] == 100.0 and measures.TARGETS[-1] == 1e-8
    # Run a: 5.0 after 10 calls reaches 10**2 ... 10**0.8 (7 targets), 0.5 after 40 reaches
    # down to 10**-0.2 (12), 1e-9 after 100 all 51. Run b reaches none.
    a = {"budget": 100, "trace": [[1, 150.0], [10, 5.0], [40, 0.5], [100, 1e-9]]}
    b = {"budget": 100, "trace": [[50, 1000.0]]}
    assert measures.fraction([a, b]) == 51 / 102
    assert measures.fraction([a, b], 0.1) == 7 / 102
    assert measures.fraction([a, b], 0.4) == 12 / 102
    assert measures.fraction([a], 0.39) == 7 / 51
    # f1: a and b tie (both solved), c last; f2: b, c, a.
    medians = {"a": {1: 1e-12, 2: 5.0}, "b": {1: 0.0, 2: 3.0}, "c": {1: 2.0, 2: 4.0}}
    medians = {m: {f: measures.solved(v) for f, v in values.items()} for m, values in medians.items()}
    assert measures.mean_ranks(medians) == {"a": 2.25, "b": 1.25, "c": 2.5}
    assert measures.best_counts(medians) == {"a": 1, "b": 2, "c": 0}


def test_thinned_trace_reaches_every_target_when_the_full_one_does():
    generator = random.Random(7)
    for _ in range(200):
        value, full, trace = 10 ** generator.uniform(-3, 4), [], measures.Trace()
        for evaluations in range(1, 300):
            value = min(value, value * 10 ** generator.uniform(-0.3, 0.2))
            if generator.random() < 0.02:
                value = min(value, 10.0 ** (round(generator.uniform(-9, 2) * 5) / 5))  # exactly on a target
            full.append([evaluations, value])
            trace.add(evaluations, value)
        for target in measures.TARGETS:
            assert measures.hit(trace.points, target) == measures.hit(full, target)
    for target in measures.TARGETS:
        # Just above a target, then exactly on it: the second value is kept.
        trace = measures.Trace()
        trace.add(1, target * 1.01)
        trace.add(2, target)
        assert measures.hit(trace.points, target) == 2
