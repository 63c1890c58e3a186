#include "codec/base64.hpp"

#include <array>
#include <bit>
#include <cstring>

namespace velunda::codec {

namespace {

constexpr std::uint8_t not_a_symbol = 0xFF;

constexpr std::array<std::uint8_t, 256> symbol_values = [] {
    std::array<std::uint8_t, 256> values{};
    values.fill(not_a_symbol);
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < alphabet.size(); ++i) values[static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint8_t>(i);
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
        } else if constexpr (Position == 0) {
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
    for (std::size_t at = 0; at < final_start; at += 4) {
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
