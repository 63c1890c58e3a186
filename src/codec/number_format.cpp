#include "codec/number_format.hpp"

#include <bit>
#include <cmath>
#include <cstring>

#include "codec/cpu_features.hpp"
#include "codec/powers_of_ten_128.hpp"
#include "codec/shortest_block.hpp"
#include "codec/shortest_digit_tables.hpp"

namespace velunda::codec {

char* detail::format_u64_wide(char* out, std::uint64_t value) {
    int digits = 10;
    for (std::uint64_t bound = 10000000000; digits < 20 && value >= bound; bound *= 10) ++digits;
    char* cursor = out + digits;
    while (value >= 100) {
        cursor -= 2;
        put_pair(cursor, static_cast<unsigned>(value % 100));
        value /= 100;
    }
    if (value >= 10) {
        put_pair(cursor - 2, static_cast<unsigned>(value));
    } else {
        cursor[-1] = static_cast<char>('0' + value);
    }
    return out + digits;
}

namespace {

// ---- Shortest digits -----------------------------------------------------------------------------
//
// std::to_chars finds them exactly but through a general path that costs several times the rest
// of a float's transcoding, and float lists are the bulk of most samples. This is the Schubfach
// method (R. Giulietti, "The Schubfach way to render doubles", 2020) for binary32: the rounding
// interval of the value is scaled by one 64-bit power of ten, and the shortest decimal inside it
// is read off directly. The tests compare its digits with std::to_chars for every one of the
// 2^32 bit patterns (VELUNDA_EXHAUSTIVE=1) and a stride through them in every run.

// The upper 32 bits of g * cp / 2^64 rounded to odd, which keeps exact halfway products apart
// from the ones just above or below them.
std::uint32_t round_to_odd(std::uint64_t g, std::uint32_t cp) {
    const unsigned __int128 product = static_cast<unsigned __int128>(g) * cp;
    const auto high = static_cast<std::uint32_t>(product >> 64);
    const auto middle = static_cast<std::uint32_t>(product >> 32);
    return high | (middle > 1);
}

// The same for binary64: the upper 64 bits of g * cp / 2^128 rounded to odd.
std::uint64_t round_to_odd(const detail::Power128& g, std::uint64_t cp) {
    const unsigned __int128 low = static_cast<unsigned __int128>(g.low) * cp;
    const unsigned __int128 high = static_cast<unsigned __int128>(g.high) * cp;
    const auto low_high = static_cast<std::uint64_t>(low >> 64);
    const auto high_low = static_cast<std::uint64_t>(high);
    const std::uint64_t middle = high_low + low_high;
    const std::uint64_t top = static_cast<std::uint64_t>(high >> 64) + (middle < high_low);
    return top | (middle > 1);
}

struct Binary32 {
    using Carrier = std::uint32_t;
    using Digits = ShortestDigits;
    static constexpr int significand_bits = 23;
    static constexpr int exponent_bias = 127;
    static std::uint64_t power_of_ten(int e) { return detail::powers_of_ten_64[e - detail::min_power_64]; }
};

// The same method for binary64, with 128-bit powers of ten. std::to_chars gives the same digits
// through a general path that took three times as long; the tests compare the two on a hundred
// million random values and the known hard cases.
struct Binary64 {
    using Carrier = std::uint64_t;
    using Digits = ShortestDigits64;
    static constexpr int significand_bits = 52;
    static constexpr int exponent_bias = 1023;
    static const detail::Power128& power_of_ten(int e) { return detail::powers_of_ten_128[e - detail::min_power_128]; }
};

// The shortest digits of a finite nonzero value without its sign bit, possibly with trailing zeros.
template <class Float>
typename Float::Digits shortest(typename Float::Carrier bits) {
    using Carrier = typename Float::Carrier;
    constexpr int significand_bits = Float::significand_bits;
    constexpr int exponent_bias = Float::exponent_bias + significand_bits;
    const Carrier fraction = bits & ((Carrier(1) << significand_bits) - 1);
    const auto biased_exponent = static_cast<std::uint32_t>(bits >> significand_bits);

    Carrier c;
    int q;
    if (biased_exponent != 0) {
        c = (Carrier(1) << significand_bits) | fraction;
        q = static_cast<int>(biased_exponent) - exponent_bias;
        // Small integers are their own shortest digits.
        if (q <= 0 && -q <= significand_bits && (c & ((Carrier(1) << -q) - 1)) == 0) return {c >> -q, 0};
    } else {
        c = fraction;
        q = 1 - exponent_bias;
    }

    const bool even = (c & 1) == 0;
    const bool lower_boundary_closer = fraction == 0 && biased_exponent > 1;
    const Carrier cbl = 4 * c - 2 + lower_boundary_closer;
    const Carrier cb = 4 * c;
    const Carrier cbr = 4 * c + 2;
    const int k = lower_boundary_closer ? detail::floor_log10_three_quarters_pow2(q) : detail::floor_log10_pow2(q);
    const int h = q + detail::floor_log2_pow10(-k) + 1;
    const auto& g = Float::power_of_ten(-k);
    const Carrier vbl = round_to_odd(g, cbl << h);
    const Carrier vb = round_to_odd(g, cb << h);
    const Carrier vbr = round_to_odd(g, cbr << h);
    const Carrier lower = vbl + !even;
    const Carrier upper = vbr - !even;

    // Of the candidates (one digit fewer, or the nearest of this length), the one in the rounding
    // interval is chosen by masks, not branches: random readings made every branch here a coin
    // toss for the predictor (and the compiler turns plain conditionals back into branches).
    const Carrier s = vb / 4;
    const Carrier sp = s / 10;
    const bool up_inside = lower <= 40 * sp;
    const bool wp_inside = 40 * sp + 40 <= upper;
    const bool shorter = (s >= 10) & (up_inside != wp_inside);
    // Of s and s + 1, the one in the interval if only one is, else the nearer (vb's two low bits
    // are its quarters past s, and a tie goes to the even one).
    const bool u_inside = lower <= (vb & ~Carrier(3));
    const bool w_inside = (vb | 3) + 1 <= upper;
    const bool round_up = (vb & 3) + (s & 1) > 2;
    const bool one_inside = u_inside != w_inside;
    const Carrier nearest = s + ((w_inside & one_inside) | (round_up & !one_inside));
    const Carrier take_shorter = Carrier(0) - Carrier(shorter);
    return {(nearest & ~take_shorter) | ((sp + wp_inside) & take_shorter), k + static_cast<int>(shorter)};
}

char* copy_text(char* out, const char* text, std::size_t size) {
    std::memcpy(out, text, size);
    return out + size;
}

// Digits are moved in one fixed-size copy of at least their count (17 at most) rather than a
// call with a variable size; what lands past the text is overwritten or lies in the slack.
constexpr std::size_t digit_move = 24;
constexpr std::size_t digit_buffer_size = 48;

char* move_digits(char* out, const char* digits, int count) {
    std::memcpy(out, digits, digit_move);
    return out + count;
}

// The points (of 0.D x 10^point) between which each width is written in the plain form; beyond
// them it takes the exponent form.
struct PlainRange {
    int largest_point;
    int smallest_point;
};
constexpr PlainRange binary32_plain{13, -5};
constexpr PlainRange binary64_plain{16, -4};

// A float's decimal exponent (|e| < 1000) with its sign: one table word, no branch.
char* put_exponent(char* out, int exponent) {
    *out = '-';
    const bool negative = exponent < 0;
    const auto magnitude = static_cast<std::uint32_t>(negative ? -exponent : exponent);
    const std::uint32_t text = detail::short_texts[magnitude];
    return detail::put_word(out + negative, text, text >> 24);
}

// Lays out the digits D of a value 0.D x 10^point, which the caller has written at out + 1 with
// room after them: plain_limit (at most 16) is the largest point still written without an
// exponent, small_limit (at least -6) the smallest. The exponent form is told apart first, by
// one comparison: on random readings it is the common case, and it needs the digits where they
// already are; each further test would be a coin toss.
char* lay_out(char* out, int digit_count, int point, int plain_limit, int small_limit) {
    if (static_cast<unsigned>(point - small_limit) > static_cast<unsigned>(plain_limit - small_limit)) {
        out[0] = out[1];  // "D.DDDe-7", or "De-7" for one digit
        out[1] = '.';
        out += digit_count > 1 ? digit_count + 1 : 1;
        *out++ = 'e';
        return put_exponent(out, point - 1);
    }
    char digits[digit_buffer_size];
    std::memcpy(digits, out + 1, digit_move);
    const int scale = point - digit_count;  // value = D x 10^scale
    if (scale >= 0) {
        out = move_digits(out, digits, digit_count);
        std::memset(out, '0', 16);
        return copy_text(out + scale, ".0", 2);
    }
    if (point > 0) {
        out = move_digits(out, digits, point);
        *out++ = '.';
        return move_digits(out, digits + point, digit_count - point);
    }
    std::memcpy(out, "0.000000", 8);
    return move_digits(out + 2 - point, digits, digit_count);
}

// Zero, NaN and the infinities, or nullptr for every other value.
template <class Float>
char* format_special(char* out, Float value) {
    if (!std::isfinite(value)) return copy_text(out, "null", 4);
    if (value == 0) return std::signbit(value) ? copy_text(out, "-0.0", 4) : copy_text(out, "0.0", 3);
    return nullptr;
}

// Trailing zeros are divided off by a loop whose exit the predictor learns: few values have one.
template <class Digits>
Digits without_trailing_zeros(Digits decimal) {
    while (decimal.significand % 10 == 0) {
        decimal.significand /= 10;
        ++decimal.exponent;
    }
    return decimal;
}

// The text of a finite nonzero binary32 from its sign bit and its shortest digits.
char* format_f32_digits(char* out, std::uint32_t bits, ShortestDigits decimal) {
    *out = '-';
    out += bits >> 31;
    const auto [significand, exponent] = without_trailing_zeros(decimal);
    const int digit_count = static_cast<int>(format_u64(out + 1, significand) - (out + 1));
    return lay_out(out, digit_count, digit_count + exponent, binary32_plain.largest_point,
                   binary32_plain.smallest_point);
}

// Zero wraps around to the top, so one comparison finds zero, the infinities and NaN.
bool is_special_f32(std::uint32_t bits) { return (bits & 0x7FFFFFFF) - 1 >= 0x7F7FFFFF; }

}  // namespace

ShortestDigits shortest_f32_digits(float value) {
    return without_trailing_zeros(shortest<Binary32>(std::bit_cast<std::uint32_t>(value) & 0x7FFFFFFF));
}

ShortestDigits64 shortest_f64_digits(double value) {
    return without_trailing_zeros(shortest<Binary64>(std::bit_cast<std::uint64_t>(value) & 0x7FFFFFFFFFFFFFFF));
}

char* format_f32(char* out, float value) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    if (is_special_f32(bits)) return format_special(out, value);
    return format_f32_digits(out, bits, shortest<Binary32>(bits & 0x7FFFFFFF));
}

void detail::shortest_f32_block_scalar(const std::uint8_t* wire, ShortestDigitsBlock& block) {
    for (std::size_t i = 0; i < ShortestDigitsBlock::size; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, wire + sizeof bits * i, sizeof bits);
        const ShortestDigits decimal = shortest<Binary32>(bits & 0x7FFFFFFF);
        block.significands[i] = decimal.significand;
        block.exponents[i] = decimal.exponent;
    }
}

char* format_f32_block(char* out, const std::uint8_t* wire, bool after_value) {
    using detail::ShortestDigitsBlock;
    static_assert(ShortestDigitsBlock::size == f32_block_size);
    ShortestDigitsBlock block;
    if (detail::has_avx2) {
        detail::shortest_f32_block_avx2(wire, block);
    } else {
        detail::shortest_f32_block_scalar(wire, block);
    }
    for (std::size_t i = 0; i < f32_block_size; ++i) {
        *out = ',';
        out += static_cast<std::size_t>(after_value || i != 0);
        std::uint32_t bits;
        std::memcpy(&bits, wire + sizeof bits * i, sizeof bits);
        out = is_special_f32(bits) ? format_special(out, std::bit_cast<float>(bits))
                                   : format_f32_digits(out, bits,
                                                       {static_cast<std::uint32_t>(block.significands[i]),
                                                        static_cast<int>(block.exponents[i])});
    }
    return out;
}

char* format_f64(char* out, double value) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    if ((bits & 0x7FFFFFFFFFFFFFFF) - 1 >= 0x7FEFFFFFFFFFFFFF) return format_special(out, value);
    *out = '-';
    out += bits >> 63;
    const auto [significand, exponent] = shortest_f64_digits(value);
    const int digit_count = static_cast<int>(format_u64(out + 1, significand) - (out + 1));
    return lay_out(out, digit_count, digit_count + exponent, binary64_plain.largest_point,
                   binary64_plain.smallest_point);
}

}  // namespace velunda::codec
