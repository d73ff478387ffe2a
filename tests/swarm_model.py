"""An independent Python model of the deterministic part of a run.

Given the initial positions (the first particle_count calls of f), the rest
of a run is determined: these functions redo every update with Python's own
numbers (int, float, struct-rounded binary32, exact decimals as integers)
so that the tests can compare each later call of f against the model.
"""
import math
import struct
from decimal import Decimal as PyDecimal

MAG_LIMIT = 1 << 96


def fl32(x):
    """Rounds a binary64 value to binary32 (overflow gives an infinity)."""
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def wrap(value, bits):
    value &= (1 << bits) - 1
    return value - (1 << bits) if value >> (bits - 1) else value


def saturate(p, low, high, below_min, above_max):
    if p != p:
        return 0
    if below_min(p):
        return low
    if above_max(p):
        return high
    return int(p)


class FixedInt:
    def __init__(self, bits, product):
        self.bits = bits
        self.product = product
        self.low, self.high = -(1 << (bits - 1)), (1 << (bits - 1)) - 1

    def add(self, a, b):
        return wrap(a + b, self.bits)

    def sub(self, a, b):
        return wrap(a - b, self.bits)

    def neg(self, a):
        return wrap(-a, self.bits)

    def scale(self, x, factor):
        return self.product(self, x, factor)

    less = staticmethod(lambda a, b: a < b)
    zero = 0


def small_product(kind, x, factor):
    # i8 and i16: binary32 product, bounds compared as binary32 values.
    p = fl32(fl32(x) * fl32(factor))
    return saturate(p, kind.low, kind.high, lambda v: v < kind.low, lambda v: v > kind.high)


def i32_product(kind, x, factor):
    p = float(x) * factor
    return saturate(p, kind.low, kind.high, lambda v: v < kind.low, lambda v: v > kind.high)


def i64_product(kind, x, factor):
    p = float(x) * factor
    return saturate(p, kind.low, kind.high, lambda v: v <= -2.0**63, lambda v: v > 2.0**63 - 1024)


def i128_product(kind, x, factor):
    p = float(x) * factor
    return saturate(p, kind.low, kind.high, lambda v: v < -2.0**127, lambda v: v > 2.0**127 - 2.0**74)


def bigint_to_double(x):
    """Top 64 bits of the magnitude (truncated), then rounded to binary64."""
    if x == 0:
        return 0.0
    magnitude = abs(x)
    n = magnitude.bit_length()
    m, e = (magnitude, 0) if n <= 64 else (magnitude >> (n - 64), n - 64)
    if e > 1024:
        result = math.inf
    else:
        try:
            result = math.ldexp(float(m), e)
        except OverflowError:
            result = math.inf
    return -result if x < 0 else result


class BigIntKind:
    add = staticmethod(lambda a, b: a + b)
    sub = staticmethod(lambda a, b: a - b)
    neg = staticmethod(lambda a: -a)
    less = staticmethod(lambda a, b: a < b)
    zero = 0

    @staticmethod
    def scale(x, factor):
        p = bigint_to_double(x) * factor
        if math.isnan(p) or math.isinf(p):
            raise ModelFault("f64 can not to BigInt")
        return int(p)


class FloatKind:
    def __init__(self, single):
        self.round = fl32 if single else float

    def add(self, a, b):
        return self.round(a + b)

    def sub(self, a, b):
        return self.round(a - b)

    neg = staticmethod(lambda a: -a)

    def scale(self, x, factor):
        return self.round(x * self.round(factor))

    less = staticmethod(lambda a, b: a < b)
    zero = 0.0


class ComplexKind:
    def __init__(self, single):
        self.part = FloatKind(single)

    def add(self, a, b):
        return complex(self.part.add(a.real, b.real), self.part.add(a.imag, b.imag))

    def sub(self, a, b):
        return complex(self.part.sub(a.real, b.real), self.part.sub(a.imag, b.imag))

    neg = staticmethod(lambda a: complex(-a.real, -a.imag))

    def scale(self, x, factor):
        return complex(self.part.scale(x.real, factor), self.part.scale(x.imag, factor))

    less = None  # complex values are never bounded
    zero = None


class ModelFault(Exception):
    pass


# Decimals as (negative, magnitude, scale).
def dec_from_py(value):
    sign, digits, exponent = PyDecimal(value).as_tuple()
    magnitude = int("".join(map(str, digits))) if digits else 0
    return (bool(sign), magnitude, -exponent)


def dec_to_py(d):
    negative, magnitude, scale = d
    return PyDecimal((int(negative), tuple(int(c) for c in str(magnitude)), -scale))


def round_half_even_div(value, divisor):
    q, r = divmod(value, divisor)
    if 2 * r > divisor or (2 * r == divisor and q % 2 == 1):
        q += 1
    return q


def dec_add(x, y, subtract=False):
    (xn, xm, xs), (yn, ym, ys) = x, y
    if subtract:
        yn_eff = not yn
    else:
        yn_eff = yn
    if xm == 0:
        if subtract and ym != 0:
            return (not yn, ym, ys)
        return y
    if ym == 0:
        return x
    scale = max(xs, ys)
    total = (-1 if xn else 1) * xm * 10 ** (scale - xs) + (-1 if yn_eff else 1) * ym * 10 ** (scale - ys)
    magnitude = abs(total)
    negative = total < 0
    if magnitude < MAG_LIMIT:
        return (negative if magnitude else False, magnitude, scale)
    exact = magnitude
    for reduced_scale in range(scale - 1, -1, -1):
        candidate = round_half_even_div(exact, 10 ** (scale - reduced_scale))
        if candidate < MAG_LIMIT:
            return (negative if candidate else False, candidate, reduced_scale)
    raise ModelFault("Subtraction overflowed" if subtract else "Addition overflowed")


def dec_mul(x, y):
    (xn, xm, xs), (yn, ym, ys) = x, y
    if xm == 0 or ym == 0:
        return (False, 0, 0)
    product, scale = xm * ym, xs + ys
    exact = product
    drop = 0
    while scale - drop > 28 or round_half_even_div(exact, 10 ** drop) >= MAG_LIMIT:
        if scale - drop == 0:
            raise ModelFault("Multiplication overflowed")
        drop += 1
    magnitude = round_half_even_div(exact, 10 ** drop)
    if magnitude >= MAG_LIMIT:
        raise ModelFault("Multiplication overflowed")
    return ((xn != yn) if magnitude else False, magnitude, scale - drop)


def dec_from_double(f):
    """The ten-step conversion of a binary64 value, on Python integers."""
    if math.isnan(f) or math.isinf(f):
        raise ModelFault("Failed to convert to Decimal")
    if f == 0:
        return (math.copysign(1.0, f) < 0, 0, 0)
    bits = struct.unpack("<Q", struct.pack("<d", f))[0]
    biased = (bits >> 52) & 0x7FF
    fraction = bits & ((1 << 52) - 1)
    m, e = (fraction | (1 << 52), biased - 1075) if biased else (fraction, -1074)
    M, k, j = m, e, -e
    while j > 0:
        if M % 2 == 0:
            M //= 2
            k += 1
        elif 5 * M < MAG_LIMIT:
            M *= 5
        else:
            M //= 2
            k += 1
        j -= 1
    while j < 0:
        if not (M >> 95) & 1:
            M *= 2
            k -= 1
        else:
            M //= 5
        j += 1
    while k > 0:
        M *= 10
        k -= 1
        if M >= MAG_LIMIT:
            raise ModelFault("Failed to convert to Decimal")
    while k < -28:
        q, r = divmod(M, 10)
        k += 1
        if q == 0:
            return (False, 0, 0)
        M = q + (1 if r >= 5 else 0)
    while k < 0 and M >= 1 << 52:
        q, r = divmod(M, 10)
        M = q + (1 if r >= 5 else 0)
        k += 1
    while k < 0 and M % 10 == 0:
        M //= 10
        k += 1
    return (f < 0, M, -k)


def dec_value(d):
    from fractions import Fraction

    negative, magnitude, scale = d
    return Fraction(-magnitude if negative else magnitude, 10 ** scale)


class DecimalKind:
    add = staticmethod(lambda a, b: dec_add(a, b))
    sub = staticmethod(lambda a, b: dec_add(a, b, subtract=True))
    neg = staticmethod(lambda a: (not a[0], a[1], a[2]))
    less = staticmethod(lambda a, b: dec_value(a) < dec_value(b))
    zero = (False, 0, 0)

    @staticmethod
    def scale(x, factor):
        return dec_mul(x, dec_from_double(factor))


KINDS = {
    "i8": FixedInt(8, small_product),
    "i16": FixedInt(16, small_product),
    "i32": FixedInt(32, i32_product),
    "i64": FixedInt(64, i64_product),
    "i128": FixedInt(128, i128_product),
    "i": BigIntKind(),
    "f32": FloatKind(True),
    "f64": FloatKind(False),
    "c64": ComplexKind(True),
    "c128": ComplexKind(False),
    "d": DecimalKind(),
}
ORDER = list(KINDS)


def to_model(point):
    return {key: [dec_from_py(v) for v in values] if key == "d" else list(values) for key, values in point.items()}


def to_python(point):
    return {key: [dec_to_py(v) for v in values] if key == "d" else list(values) for key, values in point.items()}


def elementwise(op_name, *points):
    return {key: [getattr(KINDS[key], op_name)(*items) for items in zip(*(p[key] for p in points))]
            for key in points[0]}


def scaled(point, factor):
    return {key: [KINDS[key].scale(x, factor) for x in values] for key, values in point.items()}


def compare(a, b):
    if a == b:
        return "Equal"
    return "Less" if a < b else "Greater"


class SwarmModel:
    """Replays a minimisation from recorded initial positions."""

    def __init__(self, config, lower, upper, objective):
        self.config = config
        self.objective = objective
        self.lower, self.upper = to_model(lower), to_model(upper)
        self.max_velocity = scaled(elementwise("sub", self.upper, self.lower), config["max_velocity_ratio"])
        self.min_velocity = elementwise("neg", self.max_velocity)

    def evaluate(self, position):
        return self.objective(**to_python(position))

    def run(self, initial_positions):
        """Yields every position f is called with, initial ones included."""
        particles = []
        for point in initial_positions:
            position = to_model(point)
            value = self.evaluate(position)
            yield position
            velocity = {key: [KINDS[key].zero if KINDS[key].less else type(v)(0) for v in values]
                        for key, values in position.items()}
            particles.append({"position": position, "velocity": velocity, "best": position, "value": value})
        best = particles[0]
        for p in particles[1:]:
            if compare(best["value"], p["value"]) == "Greater":
                best = p
        swarm_position, swarm_value = best["best"], best["value"]
        c = self.config
        for _ in range(c["iteration_count"]):
            for p in particles:
                to_swarm = scaled(elementwise("sub", swarm_position, p["position"]), c["cognitive_coefficient"])
                to_own = scaled(elementwise("sub", p["best"], p["position"]), c["social_coefficient"])
                p["velocity"] = elementwise("add", p["velocity"], elementwise("add", to_swarm, to_own))
                p["position"] = elementwise("add", p["position"], p["velocity"])
                self.bound(p)
                value = self.evaluate(p["position"])
                yield p["position"]
                if compare(value, p["value"]) != "Less":
                    continue
                if compare(value, swarm_value) == "Less":
                    swarm_value, swarm_position = value, p["position"]
                p["value"], p["best"] = value, p["position"]
            for p in particles:
                p["velocity"] = scaled(p["velocity"], c["inertia_coefficient"])
        self.result = (swarm_value, swarm_position)

    def bound(self, particle):
        for key, xs in particle["position"].items():
            kind = KINDS[key]
            if kind.less is None:
                continue
            vs = particle["velocity"][key]
            xs, vs = list(xs), list(vs)
            for k in range(len(xs)):
                lo, hi = self.lower[key][k], self.upper[key][k]
                if kind.less(xs[k], lo):
                    xs[k], vs[k] = lo, kind.zero
                elif kind.less(hi, xs[k]):
                    xs[k], vs[k] = hi, kind.zero
                elif kind.less(vs[k], self.min_velocity[key][k]):
                    vs[k] = self.min_velocity[key][k]
                elif kind.less(self.max_velocity[key][k], vs[k]):
                    vs[k] = self.max_velocity[key][k]
            particle["position"] = {**particle["position"], key: xs}
            particle["velocity"] = {**particle["velocity"], key: vs}
