#pragma once

#include <cstdint>

#include "codec/number_format.hpp"

namespace velunda::codec::detail {

// shortest_f32_block on a processor with AVX2.
void shortest_f32_block_avx2(const std::uint8_t* wire, ShortestDigitsBlock& block);

}  // namespace velunda::codec::detail
