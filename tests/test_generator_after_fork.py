"""A forked child must not replay its parent's random stream.

After fork() the child holds a copy of the forking thread's generator: same
key, counter and buffered words. Without a fresh key the two processes draw
identical numbers, so (for example) worker processes of a forking pool would
all start their swarms from the same positions.
"""
import os
import pickle

import pytest

import kavell
from random_oracles import key_of, keystream
from thread_helpers import run_on_fresh_thread

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")


def in_child(body):
    """Runs body() in a forked child and returns what it returned."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            with os.fdopen(write_end, "wb") as out:
                pickle.dump(body(), out)
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        data = pipe.read()
    os.waitpid(pid, 0)
    return pickle.loads(data)




# The fork happens on a second thread while the first waits in join(); the
# child only draws and writes to a pipe, so the interpreter's warning about
# forking a multi-threaded process does not apply.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_child_rekeys_from_the_generators_own_source(native):
    # The generator's source answers its second read with `after`: the child
    # takes that key (block counter 0, nothing of the parent's buffer kept),
    # while the parent carries on with its own stream.
    before, after = key_of(41), key_of(42)

    def body():
        first = native.thread_rng_words(3, [before, after])[0]
        child = in_child(lambda: native.thread_rng_words(5)[0])
        parent = native.thread_rng_words(5)[0]
        return first, child, parent

    first, child, parent = run_on_fresh_thread(body)
    assert first == keystream(before, 3)
    assert parent == keystream(before, 8)[3:]
    assert child == keystream(after, 5)


def test_child_and_parent_draw_different_words_from_the_system_source(native):
    native.thread_rng_words(1)  # this thread's generator exists before the fork
    child = in_child(lambda: native.thread_rng_words(16)[0])
    parent = native.thread_rng_words(16)[0]
    assert len(child) == len(parent) == 16
    assert child != parent


def test_child_swarm_starts_elsewhere_than_the_parents():
    pso = kavell.PSO(particle_count=4, iteration_count=0)

    def initial_positions():
        calls = []
        pso.min(lambda **kw: calls.append(kw) or 0, f64_min=[0.0] * 4, f64_max=[1.0] * 4)
        return calls

    initial_positions()  # the generator exists before the fork
    child = in_child(initial_positions)
    parent = initial_positions()
    assert child != parent
