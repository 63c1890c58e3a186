#include "codec/number_format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace velunda::codec {

char* format_u64(char* out, std::uint64_t value) {
    return std::to_chars(out, out + max_number_chars, value).ptr;
}

char* format_i64(char* out, std::int64_t value) {
    return std::to_chars(out, out + max_number_chars, value).ptr;
}

namespace {

char* copy_text(char* out, const char* text, std::size_t size) {
    std::memcpy(out, text, size);
    return out + size;
}

char* fill_zeros(char* out, int count) {
    for (int i = 0; i < count; ++i) *out++ = '0';
    return out;
}

// std::to_chars gives the shortest round-trip digits (nearest to the exact value among equally
// short ones); only the layout around them is ours. plain_limit is the largest decimal exponent
// P (value = 0.D x 10^P) still written without an exponent, small_limit the smallest.
template <class Float>
char* format_float(char* out, Float value, int plain_limit, int small_limit) {
    if (!std::isfinite(value)) return copy_text(out, "null", 4);
    if (value == 0) return std::signbit(value) ? copy_text(out, "-0.0", 4) : copy_text(out, "0.0", 3);

    char scientific[32];
    const char* const scientific_end =
        std::to_chars(scientific, scientific + sizeof scientific, value, std::chars_format::scientific).ptr;
    const char* p = scientific;
    if (*p == '-') {
        *out++ = '-';
        ++p;
    }
    char digits[20];
    int digit_count = 0;
    digits[digit_count++] = *p++;
    if (*p == '.') {
        for (++p; *p != 'e'; ++p) digits[digit_count++] = *p;
    }
    ++p;  // 'e'
    const bool negative_exponent = *p == '-';
    ++p;  // the exponent's sign, always present
    int exponent = 0;
    for (; p != scientific_end; ++p) exponent = exponent * 10 + (*p - '0');
    if (negative_exponent) exponent = -exponent;

    const int point = exponent + 1;            // P: digits before the decimal point
    const int scale = point - digit_count;     // E: value = D x 10^E
    if (scale >= 0 && point <= plain_limit) {
        out = copy_text(out, digits, static_cast<std::size_t>(digit_count));
        out = fill_zeros(out, scale);
        return copy_text(out, ".0", 2);
    }
    if (point > 0 && point <= plain_limit) {
        out = copy_text(out, digits, static_cast<std::size_t>(point));
        *out++ = '.';
        return copy_text(out, digits + point, static_cast<std::size_t>(digit_count - point));
    }
    if (point <= 0 && point >= small_limit) {
        out = copy_text(out, "0.", 2);
        out = fill_zeros(out, -point);
        return copy_text(out, digits, static_cast<std::size_t>(digit_count));
    }
    *out++ = digits[0];
    if (digit_count > 1) {
        *out++ = '.';
        out = copy_text(out, digits + 1, static_cast<std::size_t>(digit_count - 1));
    }
    *out++ = 'e';
    return std::to_chars(out, out + 8, point - 1).ptr;
}

}  // namespace

char* format_f32(char* out, float value) { return format_float(out, value, 13, -5); }

char* format_f64(char* out, double value) { return format_float(out, value, 16, -4); }

}  // namespace velunda::codec
