#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velunda::codec {

// Why a base64 text was refused. Offsets count bytes of the text from 0.
struct Base64Error {
    enum class Kind : std::uint8_t { InvalidByte, InvalidLength, InvalidLastSymbol, InvalidPadding };
    Kind kind;
    std::size_t offset = 0;  // as printed; for InvalidPadding, where the final group starts
    std::uint8_t byte = 0;   // InvalidByte, InvalidLastSymbol

    friend bool operator==(const Base64Error&, const Base64Error&) = default;
};

// "InvalidByte(3, 45)", "InvalidLength(5)", "InvalidLastSymbol(2, 66)", "InvalidPadding".
std::string describe(const Base64Error& error);

// The most bytes a text of this length can decode to: three per started group of four.
constexpr std::size_t base64_decoded_capacity(std::size_t text_size) { return (text_size + 3) / 4 * 3; }

// Strict standard-alphabet base64 with canonical padding and no whitespace. Writes the bytes to
// `out` (room for base64_decoded_capacity bytes) and sets `size`, or returns the first error in
// the order of checks the format defines.
std::optional<Base64Error> base64_decode(std::string_view text, std::uint8_t* out, std::size_t& size);

namespace detail {
// The same, with the vector path (AVX2, where the processor has it) or without: the tests hold
// the two against each other.
std::optional<Base64Error> base64_decode(std::string_view text, std::uint8_t* out, std::size_t& size, bool simd);
}  // namespace detail

}  // namespace velunda::codec
