"""PSO construction, the six properties, the borrow rule and the docstring."""
import operator
import sys

import pytest

import kavell

FIELDS = ["particle_count", "iteration_count", "cognitive_coefficient", "social_coefficient",
          "max_velocity_ratio", "inertia_coefficient"]
COUNTS = FIELDS[:2]
COEFFICIENTS = FIELDS[2:]
DEFAULTS = [100, 100, 1.0, 1.0, 0.5, 0.5]


def values(pso):
    return [getattr(pso, name) for name in FIELDS]


def interpreter_message(action):
    with pytest.raises(BaseException) as info:
        action()
    return type(info.value), str(info.value)


def test_defaults_and_types():
    pso = kavell.PSO()
    assert values(pso) == DEFAULTS
    assert [type(v) for v in values(pso)] == [int, int, float, float, float, float]


def test_positional_and_keyword_construction_agree():
    args = [10, 20, 1.5, 2.0, 0.1, 0.9]
    assert values(kavell.PSO(*args)) == values(kavell.PSO(**dict(zip(FIELDS, args)))) == args


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 0.25


@pytest.mark.parametrize("name, given, stored", [
    ("particle_count", True, 1),
    ("particle_count", 0, 0),
    ("iteration_count", Index(7), 7),
    ("iteration_count", 2**64 - 1, 2**64 - 1),
    ("cognitive_coefficient", 2, 2.0),
    ("social_coefficient", Floaty(), 0.25),
    ("max_velocity_ratio", Index(3), 3.0),
    ("inertia_coefficient", float("inf"), float("inf")),
    ("inertia_coefficient", -1.0, -1.0),
])
def test_conversions_accept(name, given, stored):
    assert getattr(kavell.PSO(**{name: given}), name) == stored
    pso = kavell.PSO()
    setattr(pso, name, given)
    assert getattr(pso, name) == stored


def test_nan_is_stored_unvalidated():
    pso = kavell.PSO(social_coefficient=float("nan"))
    assert pso.social_coefficient != pso.social_coefficient


@pytest.mark.parametrize("name, given, reference", [
    ("particle_count", 1.5, lambda: operator.index(1.5)),
    ("iteration_count", "3", lambda: operator.index("3")),
    ("cognitive_coefficient", "x", None),
    ("inertia_coefficient", None, None),
])
def test_constructor_type_errors_name_the_argument(name, given, reference):
    if reference is not None:
        _, text = interpreter_message(reference)
    else:
        # The interpreter's float conversion, reached through math.fsum's argument parsing.
        import math
        _, text = interpreter_message(lambda: math.fsum([given]))
    with pytest.raises(TypeError) as info:
        kavell.PSO(**{name: given})
    assert str(info.value) == f"argument '{name}': {text}"
    assert info.value.__cause__ is None


@pytest.mark.parametrize("given", [-1, 2**64])
def test_constructor_overflow_is_unchanged(given):
    with pytest.raises(OverflowError) as info:
        kavell.PSO(particle_count=given)
    assert not str(info.value).startswith("argument")
    pso = kavell.PSO()
    with pytest.raises(OverflowError) as setter_info:
        pso.particle_count = given
    assert str(setter_info.value) == str(info.value)
    assert pso.particle_count == 100


def test_cause_of_wrapped_type_error_is_the_original_cause():
    class Bad:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as error:
                raise TypeError("outer") from error

    with pytest.raises(TypeError) as info:
        kavell.PSO(particle_count=Bad())
    assert str(info.value) == "argument 'particle_count': outer"
    assert isinstance(info.value.__cause__, KeyError)


def test_non_type_errors_from_conversion_are_unchanged():
    class Bad:
        def __float__(self):
            raise ValueError("no float here")

    with pytest.raises(ValueError) as info:
        kavell.PSO(social_coefficient=Bad())
    assert str(info.value) == "no float here"


@pytest.mark.parametrize("error_type", [KeyboardInterrupt, SystemExit, ValueError])
@pytest.mark.parametrize("name", ["particle_count", "social_coefficient"])
def test_a_field_error_is_noted_once_and_an_interrupt_never(error_type, name):
    shared = error_type("stop")

    class Raising:
        def __index__(self):
            raise shared
        __float__ = __index__

        def __repr__(self):
            return "R"

    for attempt in range(2):
        with pytest.raises(error_type) as info:
            kavell.PSO(**{name: Raising()})
        with pytest.raises(error_type):
            setattr(kavell.PSO(), name, Raising())
        assert info.value is shared and shared.args == ("stop",)
    expected = [f"while converting {name} = R", f"while setting {name} = R"]
    assert getattr(shared, "__notes__", []) == (expected if issubclass(error_type, Exception) else [])


@pytest.mark.parametrize("name, given", [
    ("particle_count", -1), ("iteration_count", 2**64), ("particle_count", 1.5),
    ("cognitive_coefficient", "x"), ("max_velocity_ratio", None), ("inertia_coefficient", 1j),
])
def test_conversion_errors_carry_a_note_naming_the_field(name, given):
    with pytest.raises(BaseException) as constructed:
        kavell.PSO(**{name: given})
    assert constructed.value.__notes__ == [f"while converting {name} = {given!r}"]
    pso = kavell.PSO()
    with pytest.raises(BaseException) as assigned:
        setattr(pso, name, given)
    assert assigned.value.__notes__ == [f"while setting {name} = {given!r}"]
    # The note adds to the error; its text and arguments are the interpreter's own.
    assert type(assigned.value) is type(constructed.value)
    assert assigned.value.args == (str(assigned.value),)
    assert str(constructed.value) in (str(assigned.value), f"argument '{name}': {assigned.value}")


@pytest.mark.parametrize("name", FIELDS)
def test_setter_errors_have_no_prefix_and_leave_value(name):
    pso = kavell.PSO()
    with pytest.raises(TypeError) as info:
        setattr(pso, name, "text")
    assert not str(info.value).startswith("argument")
    assert getattr(pso, name) == DEFAULTS[FIELDS.index(name)]


@pytest.mark.parametrize("name", FIELDS)
def test_delete_is_refused(name):
    pso = kavell.PSO()
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        delattr(pso, name)


@pytest.mark.parametrize("name", FIELDS)
def test_property_descriptors(name):
    descriptor = vars(kavell.PSO)[name]
    assert descriptor.__doc__ == ""
    with pytest.raises(TypeError):
        descriptor.__get__(5)


def test_first_bad_argument_in_parameter_order_is_reported():
    with pytest.raises(TypeError, match="argument 'iteration_count'"):
        kavell.PSO(inertia_coefficient="x", iteration_count="y")


def test_text_signature_and_docstring():
    assert kavell.PSO.__text_signature__ == (
        "(particle_count=100, iteration_count=100, cognitive_coefficient=1.0, social_coefficient=1.0, "
        "max_velocity_ratio=0.5, inertia_coefficient=0.5)")
    doc = kavell.PSO.__doc__
    lines = doc.split("\n")
    assert lines[:7] == [
        "Particle Swarm Optimization (PSO) algorithm.",
        "粒子群优化算法。",
        "",
        "Represents the configuration parameters for the Particle Swarm Optimization algorithm.",
        "表示粒子群优化算法的配置参数。",
        "",
        "* `particle_count`: Number of particles in the swarm.",
    ]
    indents = {8: 19, 10: 20, 12: 26, 14: 23, 16: 23, 18: 24}
    for number, spaces in indents.items():
        line = lines[number - 1]
        assert len(line) - len(line.lstrip(" ")) == spaces
        assert line.strip().endswith("。") or line.strip().endswith("内。")
    assert lines[18] == ""
    assert lines[19] == "# Example"
    assert lines[20] == ""
    assert lines[21] == "```"
    assert doc.endswith("\n```")
    example = "\n".join(lines[22:-1])
    namespace = {}
    exec(example, namespace)
    built = [value for value in namespace.values() if isinstance(value, kavell.PSO)]
    assert len(built) == 1 and values(built[0]) == DEFAULTS
    for name in FIELDS:
        assert f"{name}=" in example


def test_property_reads_leave_no_reference_behind():
    pso = kavell.PSO()
    before = sys.getrefcount(pso)
    for _ in range(10_000):
        pso.particle_count
        pso.inertia_coefficient = 0.25
    after = sys.getrefcount(pso)
    assert after == before
