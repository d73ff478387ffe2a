// Decimal add, sub, mul, compare, rescale and from_double on any pair of
// valid decimals, against exact rational arithmetic.
#include <bit>
#include <cmath>

#include "oracle.hpp"
#include "random/uniform_decimal.hpp"

namespace {

using kavell::Decimal;

mpz_class signed_mantissa(const Decimal& d) {
    const mpz_class m = fuzz::magnitude_of(d);
    return d.negative() ? mpz_class(-m) : m;
}

// The zero-operand rules, then the exact sum at the larger scale.
std::optional<Decimal> expected_sum(const Decimal& x, const Decimal& y, bool subtract) {
    if (x.is_zero()) {
        Decimal result = y;
        if (subtract && !y.is_zero()) {
            result.flags ^= Decimal::SIGN_BIT;
        }
        return result;
    }
    if (y.is_zero()) {
        return x;
    }
    const unsigned scale = std::max(x.scale(), y.scale());
    const mpz_class a = signed_mantissa(x) * fuzz::power(10, scale - x.scale());
    const mpz_class b = signed_mantissa(y) * fuzz::power(10, scale - y.scale());
    Decimal out;
    if (!fuzz::round_to_fit(subtract ? mpz_class(a - b) : mpz_class(a + b), scale, 0, out)) {
        return std::nullopt;
    }
    return out;
}

std::optional<Decimal> expected_product(const Decimal& x, const Decimal& y) {
    if (x.is_zero() || y.is_zero()) {
        return Decimal();
    }
    const unsigned scale = x.scale() + y.scale();
    Decimal out;
    if (!fuzz::round_to_fit(signed_mantissa(x) * signed_mantissa(y), scale, scale > 28 ? scale - 28 : 0, out)) {
        return std::nullopt;
    }
    return out;
}

// Scaling down divides once per digit and rounds on the last removed digit
// only; scaling up stops before the magnitude would leave 96 bits.
Decimal expected_rescale(const Decimal& d, unsigned target) {
    const unsigned current = d.scale();
    mpz_class m = fuzz::magnitude_of(d);
    if (target == current) {
        return d;
    }
    if (m == 0) {
        return fuzz::make_decimal(0, target, d.negative());
    }
    if (target < current) {
        unsigned last = 0;
        for (unsigned i = 0; i < current - target; ++i) {
            last = static_cast<unsigned>(mpz_class(m % 10).get_ui());
            m /= 10;
            if (m == 0 && i + 1 < current - target) {
                return fuzz::make_decimal(0, target, d.negative());
            }
        }
        if (last >= 5) {
            m += 1;
        }
        return fuzz::make_decimal(m, target, d.negative());
    }
    unsigned reached = current;
    while (reached < target && m * 10 < fuzz::limit96()) {
        m *= 10;
        ++reached;
    }
    return fuzz::make_decimal(m, reached, d.negative());
}

void check_result(const char* what, const Decimal& x, const Decimal& y, const std::optional<Decimal>& got,
                  const std::optional<Decimal>& expected) {
    const std::string operands = std::string(what) + " of " + fuzz::words(x) + " and " + fuzz::words(y);
    FUZZ_CHECK(got.has_value() == expected.has_value(), operands + (got ? " should overflow" : " overflowed"));
    if (got) {
        FUZZ_CHECK(fuzz::valid(*got), operands);
        FUZZ_CHECK(*got == *expected, operands + ": " + fuzz::words(*got) + " instead of " + fuzz::words(*expected));
    }
}

void check_from_double(double f) {
    const auto got = Decimal::from_double(f);
    if (!std::isfinite(f)) {
        FUZZ_CHECK(!got, "non-finite converted");
        return;
    }
    const double magnitude = std::fabs(f);
    if (magnitude >= 0x1p97) {
        FUZZ_CHECK(!got, "beyond 96 bits converted");
        return;
    }
    if (magnitude < 0x1p95) {
        FUZZ_CHECK(got.has_value(), "in range, not converted");
    }
    if (!got) {
        return;
    }
    FUZZ_CHECK(fuzz::valid(*got), fuzz::words(*got));
    // At most the digits a binary64 carries, and never finer than 10^-28.
    const mpq_class exact(f);
    const mpq_class error = abs(mpq_class(fuzz::value_of(*got) - exact));
    const mpq_class bound = abs(exact) / mpq_class(fuzz::power(2, 48)) + mpq_class(1, fuzz::power(10, 28));
    FUZZ_CHECK(error <= bound, std::to_string(f) + " became " + fuzz::words(*got));
    if (!got->is_zero()) {
        FUZZ_CHECK(got->negative() == std::signbit(f), "sign of " + std::to_string(f));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    const Decimal x = fuzz::decimal_from(in);
    const Decimal y = fuzz::decimal_from(in);
    const unsigned target = in.take<std::uint8_t>() % 29u;
    const double f = in.take<double>();

    check_result("add", x, y, Decimal::add(x, y), expected_sum(x, y, false));
    check_result("sub", x, y, Decimal::sub(x, y), expected_sum(x, y, true));
    check_result("mul", x, y, Decimal::mul(x, y), expected_product(x, y));

    const int order = cmp(fuzz::value_of(x), fuzz::value_of(y));
    const auto got_order = Decimal::compare(x, y);
    FUZZ_CHECK((order < 0) == (got_order < 0) && (order > 0) == (got_order > 0),
               "compare " + fuzz::words(x) + " " + fuzz::words(y));

    const Decimal rescaled = x.rescale(target);
    FUZZ_CHECK(rescaled == expected_rescale(x, target), fuzz::words(x) + " to scale " + std::to_string(target));

    // Bringing two bounds to one scale: up to the larger scale where both
    // magnitudes allow it, else both down to the smaller scale reached.
    Decimal a = x;
    Decimal b = y;
    kavell::to_common_scale(a, b);
    FUZZ_CHECK(a.scale() == b.scale(), fuzz::words(x) + " " + fuzz::words(y));
    Decimal ea = x;
    Decimal eb = y;
    if (ea.scale() != eb.scale()) {
        ea = expected_rescale(ea, std::max(ea.scale(), eb.scale()));
        eb = expected_rescale(eb, std::max(ea.scale(), eb.scale()));
        if (ea.scale() != eb.scale()) {
            ea = expected_rescale(ea, std::min(ea.scale(), eb.scale()));
            eb = expected_rescale(eb, std::min(ea.scale(), eb.scale()));
        }
    }
    FUZZ_CHECK(a == ea && b == eb, "common scale of " + fuzz::words(x) + " " + fuzz::words(y));

    check_from_double(f);
    // The factor as the scaling sees it: any double times a decimal.
    if (const auto factor = Decimal::from_double(f)) {
        check_result("scale", x, *factor, Decimal::mul(x, *factor), expected_product(x, *factor));
    }
    return 0;
}
