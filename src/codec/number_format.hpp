#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velunda::codec {

// Room any formatted number needs, with the few bytes of slack that whole-word stores take:
// the longest texts are 24 bytes ("-2.2250738585072014e-308"), and float layout copies its
// digits in fixed 24-byte moves.
inline constexpr std::size_t max_number_chars = 48;

namespace detail {

// "00" to "99": integers are written two digits per step.
inline constexpr auto digit_pairs = [] {
    std::array<char, 200> pairs{};
    for (int i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

inline char* put_pair(char* out, unsigned pair) {
    std::memcpy(out, &digit_pairs[2 * pair], 2);
    return out + 2;
}

// Every number below 1000 as its text in the low three bytes of a word and its length in the
// top byte, and the same numbers zero-padded to three digits: one load and one store per
// group of three digits, with no branch on their count (random readings would mispredict it).
inline constexpr auto short_texts = [] {
    std::array<std::uint32_t, 1000> texts{};
    for (std::uint32_t value = 0; value < 1000; ++value) {
        const std::uint32_t length = value >= 100 ? 3 : value >= 10 ? 2 : 1;
        std::uint32_t text = length << 24;
        std::uint32_t rest = value;
        for (std::uint32_t digit = length; digit-- > 0; rest /= 10) text |= ('0' + rest % 10) << (8 * digit);
        texts[value] = text;
    }
    return texts;
}();

inline constexpr auto padded_texts = [] {
    std::array<std::uint32_t, 1000> texts{};
    for (std::uint32_t value = 0; value < 1000; ++value) {
        texts[value] = ('0' + value / 100) | ('0' + value / 10 % 10) << 8 | ('0' + value % 10) << 16;
    }
    return texts;
}();

static_assert(std::endian::native == std::endian::little);

inline char* put_word(char* out, std::uint32_t text, std::size_t length) {
    std::memcpy(out, &text, sizeof text);
    return out + length;
}

inline char* format_below_1000000(char* out, std::uint32_t value) {
    if (value < 1000) return put_word(out, short_texts[value], short_texts[value] >> 24);
    const std::uint32_t high = value / 1000;
    out = put_word(out, short_texts[high], short_texts[high] >> 24);
    return put_word(out, padded_texts[value - high * 1000], 3);
}

inline char* format_below_1000000000(char* out, std::uint32_t value) {
    if (value < 1000000) return format_below_1000000(out, value);
    const std::uint32_t high = value / 1000000;
    const std::uint32_t rest = value - high * 1000000;
    const std::uint32_t middle = rest / 1000;
    out = put_word(out, short_texts[high], short_texts[high] >> 24);
    out = put_word(out, padded_texts[middle], 3);
    return put_word(out, padded_texts[rest - middle * 1000], 3);
}

char* format_u64_wide(char* out, std::uint64_t value);

// Every value a varint of one or two bytes holds (below 2^14), as the text of the integer it
// stands for (itself, or its zigzag decoding) in the low bytes of a word and the length in the
// top byte: a current profile's velocities are written one load and one store each.
template <bool Zigzag>
inline constexpr auto short_varint_texts = [] {
    std::array<std::uint64_t, 1 << 14> texts{};
    for (std::uint32_t raw = 0; raw < texts.size(); ++raw) {
        const bool negative = Zigzag && (raw & 1) != 0;
        const std::uint32_t magnitude = !Zigzag ? raw : negative ? (raw >> 1) + 1 : raw >> 1;
        // Built from the three-digit tables as format_below_1000000 lays the digits out.
        const std::uint32_t high = magnitude / 1000;
        const std::uint32_t low = short_texts[magnitude - high * 1000];
        const std::uint64_t high_length = short_texts[high] >> 24;
        std::uint64_t text = high == 0 ? low & 0xFFFFFF
                                       : (short_texts[high] & 0xFFFFFF) |
                                             std::uint64_t{padded_texts[magnitude - high * 1000]} << (8 * high_length);
        std::uint64_t length = high == 0 ? low >> 24 : high_length + 3;
        if (negative) {
            text = text << 8 | '-';
            ++length;
        }
        texts[raw] = text | length << 56;
    }
    return texts;
}();

// Below 10^6 (every 16-bit magnitude) without a branch on the length: both layouts are built and
// one chosen by conditional moves, then stored as one 8-byte word. Random readings (a current
// profile's velocities) mispredicted the branch on most values.
inline char* format_below_1000000_branchless(char* out, std::uint32_t value) {
    const std::uint32_t high = value / 1000;
    const std::uint32_t low = value - high * 1000;
    const std::uint32_t high_text = short_texts[high];
    const std::uint32_t high_length = high_text >> 24;
    const std::uint64_t with_high = (high_text & 0xFFFFFF) | std::uint64_t{padded_texts[low]} << (8 * high_length);
    const std::uint32_t low_text = short_texts[low];
    const bool has_high = high != 0;
    const std::uint64_t word = has_high ? with_high : (low_text & 0xFFFFFF);
    const std::uint32_t length = has_high ? high_length + 3 : low_text >> 24;
    std::memcpy(out, &word, sizeof word);
    return out + length;
}

}  // namespace detail

// Each writes the JSON text of the value at `out` (at most max_number_chars bytes) and returns
// the end of what it wrote. Readings are mostly short integers, so those take a few inlined
// steps; std::to_chars is an out-of-line call that costs more than the digits themselves.
// The room written may exceed the text by a byte, never max_number_chars.
inline char* format_u64(char* out, std::uint64_t value) {
    if (value < 1000000000) return detail::format_below_1000000000(out, static_cast<std::uint32_t>(value));
    return detail::format_u64_wide(out, value);
}

// The sign is written unconditionally and kept or overwritten, as readings change sign at random.
inline char* format_i64(char* out, std::int64_t value) {
    *out = '-';
    const bool negative = value < 0;
    const auto bits = static_cast<std::uint64_t>(value);
    return format_u64(out + negative, negative ? std::uint64_t(0) - bits : bits);
}

inline char* format_u16(char* out, std::uint16_t value) { return detail::format_below_1000000_branchless(out, value); }

inline char* format_i16(char* out, std::int16_t value) {
    *out = '-';
    const bool negative = value < 0;
    const auto magnitude = static_cast<std::uint32_t>(negative ? -static_cast<std::int32_t>(value) : value);
    return detail::format_below_1000000_branchless(out + negative, magnitude);
}

// Shortest round-trip digits of the value in its own precision, laid out in the plain form
// ("25.4", "0.000001", "1000000000000.0") while the decimal point stays close, otherwise in
// exponent form ("1e-45", "3.4028235e38"); NaN and infinities become null.
char* format_f32(char* out, float value);

// The shortest digits of a finite nonzero binary32 as an integer without trailing zeros, and
// its decimal exponent: |value| reads back from significand x 10^exponent.
struct ShortestDigits {
    std::uint32_t significand;
    int exponent;
};
ShortestDigits shortest_f32_digits(float value);

// The texts of eight binary32 values read from their little-endian wire bytes, with a comma
// before each but the first (and before the first too when `after_value`): what format_f32
// writes of each, with the shortest digits of all eight found at once. Writes at most
// f32_block_room bytes.
inline constexpr std::size_t f32_block_size = 8;
inline constexpr std::size_t f32_block_room = f32_block_size * (max_number_chars + 1);
char* format_f32_block(char* out, const std::uint8_t* wire, bool after_value);

// The same for a finite nonzero binary64.
struct ShortestDigits64 {
    std::uint64_t significand;
    int exponent;
};
ShortestDigits64 shortest_f64_digits(double value);
char* format_f64(char* out, double value);

}  // namespace velunda::codec
