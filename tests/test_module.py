"""The module object, the PSO class shape and single initialisation."""
import subprocess
import sys
import textwrap
import weakref

import pytest

import kavell


def test_module_exports_only_pso():
    assert kavell.__all__ == ["PSO"]
    standard = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__all__"}
    assert set(vars(kavell)) - standard == {"PSO"}
    assert isinstance(kavell.__doc__, str) and kavell.__doc__


def test_star_import_binds_exactly_pso():
    namespace = {}
    exec("from kavell import *", namespace)
    assert set(namespace) - {"__builtins__"} == {"PSO"}
    assert namespace["PSO"] is kavell.PSO


def test_class_identity_and_names():
    cls = kavell.PSO
    assert cls is type(kavell.PSO())
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", "PSO", "PSO")
    assert repr(cls) == "<class 'builtins.PSO'>"
    assert cls.__bases__ == (object,)


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError) as info:
        type("Sub", (kavell.PSO,), {})
    # The interpreter's own wording for an unacceptable base type.
    with pytest.raises(TypeError) as reference:
        type("Sub", (bool,), {})
    assert str(info.value) == str(reference.value).replace("'bool'", "'builtins.PSO'")


def test_instances_have_no_dict_and_no_weakrefs():
    pso = kavell.PSO()
    with pytest.raises(AttributeError):
        pso.speed = 3
    assert not hasattr(pso, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(pso)


def test_class_refcount_is_stable_over_instances():
    before = sys.getrefcount(kavell.PSO)
    for _ in range(10_000):
        kavell.PSO()
    after = sys.getrefcount(kavell.PSO)
    assert after == before


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=60)


def test_second_initialisation_is_refused():
    result = run_python("""
        import sys
        import kavell
        first = kavell.PSO
        del sys.modules["kavell"]
        try:
            import kavell
        except ImportError as error:
            print("ImportError:", error)
        import gc
        print(first is type(first()))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "ImportError: PyO3 modules may only be initialized once per interpreter process",
        "True",
    ]


def test_repeated_import_is_served_from_sys_modules():
    import importlib

    assert importlib.import_module("kavell") is kavell
