#pragma once

#include <cstddef>
#include <cstdint>

namespace velunda::codec::detail {

// The shortest digits of eight binary32 values, as the scalar search finds them (trailing zeros
// not yet divided off); for zero, the infinities and NaN they are meaningless and unused.
struct ShortestDigitsBlock {
    static constexpr std::size_t size = 8;
    std::uint64_t significands[size];
    std::int64_t exponents[size];
};

// From the values' little-endian wire bytes: on a processor with AVX2, and one value at a time.
void shortest_f32_block_avx2(const std::uint8_t* wire, ShortestDigitsBlock& block);
void shortest_f32_block_scalar(const std::uint8_t* wire, ShortestDigitsBlock& block);

}  // namespace velunda::codec::detail
