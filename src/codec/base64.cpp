#include "codec/base64.hpp"

#include <array>

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
        const std::uint32_t a = symbol_values[bytes[at]];
        const std::uint32_t b = symbol_values[bytes[at + 1]];
        const std::uint32_t c = symbol_values[bytes[at + 2]];
        const std::uint32_t d = symbol_values[bytes[at + 3]];
        if (((a | b | c | d) & 0x80) != 0) {  // a value above 63 marks a non-symbol
            for (std::size_t i = at;; ++i) {
                if (!is_symbol(bytes[i])) return invalid_byte(i, bytes[i]);
            }
        }
        const std::uint32_t group = a << 18 | b << 12 | c << 6 | d;
        cursor[0] = static_cast<std::uint8_t>(group >> 16);
        cursor[1] = static_cast<std::uint8_t>(group >> 8);
        cursor[2] = static_cast<std::uint8_t>(group);
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
    if (symbols + padding != 4) return Base64Error{Base64Error::Kind::InvalidPadding};

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
