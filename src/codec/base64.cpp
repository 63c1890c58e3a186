#include "codec/base64.hpp"

#include <immintrin.h>

#include <array>
#include <bit>
#include <cstring>

#include "codec/cpu_features.hpp"

namespace velunda::codec {

namespace {

constexpr std::uint8_t not_a_symbol = 0xFF;

constexpr std::array<std::uint8_t, 256> symbol_values = [] {
    std::array<std::uint8_t, 256> values{};
    values.fill(not_a_symbol);
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < alphabet.size(); ++i)
        values[static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint8_t>(i);
    return values;
}();

// Each symbol's six bits already placed where they land in the three output bytes of its group
// (as a little-endian word), one table per position in the group, so that a group decodes with
// four loads and three ORs. A non-symbol sets bit 24 in every table.
constexpr std::uint32_t not_a_symbol_bit = 1u << 24;

template <int Position>
constexpr std::array<std::uint32_t, 256> placed_values = [] {
    std::array<std::uint32_t, 256> placed{};
    for (std::size_t byte = 0; byte < 256; ++byte) {
        const std::uint32_t value = symbol_values[byte];
        if (value == not_a_symbol) {
            placed[byte] = not_a_symbol_bit;
            continue;
        }
        if constexpr (Position == 0) {
            placed[byte] = value << 2;
        } else if constexpr (Position == 1) {
            placed[byte] = value >> 4 | (value & 0x0F) << 12;
        } else if constexpr (Position == 2) {
            placed[byte] = (value >> 2) << 8 | (value & 0x03) << 22;
        } else {
            placed[byte] = value << 16;
        }
    }
    return placed;
}();

static_assert(std::endian::native == std::endian::little);

bool is_symbol(std::uint8_t byte) { return symbol_values[byte] != not_a_symbol; }

Base64Error invalid_byte(std::size_t offset, std::uint8_t byte) {
    return {Base64Error::Kind::InvalidByte, offset, byte};
}

// ---- 32 symbols at a time with AVX2 ----------------------------------------------------------
//
// W. Muła and D. Lemire, "Faster Base64 Encoding and Decoding using AVX2 Instructions" (2018):
// each symbol's value is its byte plus an offset looked up by its high nibble, and a pair of
// nibble-indexed bit tables flags every byte outside the alphabet. A block with any such byte is
// left to the scalar loop, which finds the first one and reports it exactly as it always has.

constexpr std::size_t simd_block = 32;

__attribute__((target("avx2"))) std::size_t decode_blocks_avx2(const std::uint8_t* bytes, std::size_t end,
                                                               std::uint8_t* out) {
    const __m256i lut_lo = _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A,
                                            0x1B, 0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                            0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
    const __m256i lut_hi = _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10,
                                            0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08,
                                            0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
    const __m256i lut_roll = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19, 4,
                                              -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i mask_2f = _mm256_set1_epi8(0x2F);
    const __m256i pack_pairs = _mm256_set1_epi32(0x01400140);
    const __m256i pack_quads = _mm256_set1_epi32(0x00011000);
    const __m256i order = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5, 4, 10,
                                           9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, -1, -1);
    std::size_t at = 0;
    for (; at + simd_block <= end; at += simd_block, out += 24) {
        const __m256i text = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + at));
        const __m256i high_nibbles = _mm256_and_si256(_mm256_srli_epi32(text, 4), mask_2f);
        const __m256i low_flags = _mm256_shuffle_epi8(lut_lo, _mm256_and_si256(text, mask_2f));
        const __m256i high_flags = _mm256_shuffle_epi8(lut_hi, high_nibbles);
        if (!_mm256_testz_si256(low_flags, high_flags)) break;
        const __m256i is_slash = _mm256_cmpeq_epi8(text, mask_2f);
        const __m256i values =
            _mm256_add_epi8(text, _mm256_shuffle_epi8(lut_roll, _mm256_add_epi8(is_slash, high_nibbles)));
        const __m256i pairs = _mm256_maddubs_epi16(values, pack_pairs);
        const __m256i quads = _mm256_madd_epi16(pairs, pack_quads);
        const __m256i packed = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(quads, order), lanes);
        // Exactly the 24 bytes: the room after them may be the end of the output.
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(packed, 1));
    }
    return at;
}

}  // namespace

std::string describe(const Base64Error& error) {
    switch (error.kind) {
        case Base64Error::Kind::InvalidByte:
            return "InvalidByte(" + std::to_string(error.offset) + ", " + std::to_string(error.byte) + ")";
        case Base64Error::Kind::InvalidLength:
            return "InvalidLength(" + std::to_string(error.offset) + ")";
        case Base64Error::Kind::InvalidLastSymbol:
            return "InvalidLastSymbol(" + std::to_string(error.offset) + ", " + std::to_string(error.byte) + ")";
        case Base64Error::Kind::InvalidPadding:
            return "InvalidPadding";
    }
    return {};
}

std::optional<Base64Error> base64_decode(std::string_view text, std::uint8_t* out, std::size_t& size) {
    return detail::base64_decode(text, out, size, detail::has_avx2);
}

std::optional<Base64Error> detail::base64_decode(std::string_view text, std::uint8_t* out, std::size_t& size,
                                                 bool simd) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::size_t length = text.size();
    size = 0;
    if (length == 0) return std::nullopt;

    // A stray last byte after whole groups is reported before anything else in the text.
    if (length % 4 == 1 && bytes[length - 1] != '=' && !is_symbol(bytes[length - 1])) {
        return invalid_byte(length - 1, bytes[length - 1]);
    }

    const std::size_t final_start = length - (length % 4 == 0 ? 4 : length % 4);
    std::uint8_t* cursor = out;
    std::size_t start = 0;
    if (simd && final_start >= simd_block) {
        start = decode_blocks_avx2(bytes, final_start, out);
        cursor += start / 4 * 3;
    }
    for (std::size_t at = start; at < final_start; at += 4) {
        const std::uint32_t group = placed_values<0>[bytes[at]] | placed_values<1>[bytes[at + 1]] |
                                    placed_values<2>[bytes[at + 2]] | placed_values<3>[bytes[at + 3]];
        if ((group & not_a_symbol_bit) != 0) {
            for (std::size_t i = at;; ++i) {
                if (!is_symbol(bytes[i])) return invalid_byte(i, bytes[i]);
            }
        }
        // The fourth byte stored is overwritten by the next group; the final group always follows.
        std::memcpy(cursor, &group, sizeof group);
        cursor += 3;
    }

    std::uint32_t values[4] = {0, 0, 0, 0};
    std::size_t symbols = 0;
    std::size_t padding = 0;
    std::size_t first_padding = 0;
    for (std::size_t at = final_start; at < length; ++at) {
        const std::uint8_t byte = bytes[at];
        if (byte == '=') {
            if (at - final_start < 2) return invalid_byte(at, byte);
            if (padding++ == 0) first_padding = at;
        } else if (is_symbol(byte)) {
            if (padding != 0) return invalid_byte(first_padding, '=');
            values[symbols++] = symbol_values[byte];
        } else {
            return invalid_byte(at, byte);
        }
    }
    if (symbols == 1) return Base64Error{Base64Error::Kind::InvalidLength, length, 0};
    if (symbols + padding != 4) return Base64Error{Base64Error::Kind::InvalidPadding, final_start};

    // Symbols stand at the start of the final group, so the last one is at final_start + symbols - 1.
    const std::uint32_t unused_bits_mask = symbols == 2 ? 0x0F : symbols == 3 ? 0x03 : 0x00;
    if ((values[symbols - 1] & unused_bits_mask) != 0) {
        const std::size_t at = final_start + symbols - 1;
        return Base64Error{Base64Error::Kind::InvalidLastSymbol, at, bytes[at]};
    }
    const std::uint32_t group = values[0] << 18 | values[1] << 12 | values[2] << 6 | values[3];
    for (std::size_t i = 0; i + 1 < symbols; ++i) *cursor++ = static_cast<std::uint8_t>(group >> (16 - 8 * i));
    size = static_cast<std::size_t>(cursor - out);
    return std::nullopt;
}

}  // namespace velunda::codec
