#include "codec/shortest_block.hpp"

#include <immintrin.h>

#include "codec/shortest_digit_tables.hpp"

namespace velunda::codec::detail {

// The binary32 shortest-digit search of number_format.cpp, step for step, on eight values at once:
// float lists are the bulk of most samples, and the scalar search is a hundred instructions a
// value with no loop to share. Exponents and shift counts are worked in 32-bit lanes; the
// products and the choice of digits in 64-bit lanes, four values a vector, where every quantity
// (below 2^32) compares correctly as a signed number. The tests hold it against the scalar search
// for every binary32 (VELUNDA_EXHAUSTIVE=1) and a stride through them in every run.

namespace {

#define VELUNDA_AVX2 [[gnu::target("avx2"), gnu::always_inline]] inline

VELUNDA_AVX2 __m256i all_lanes(std::int32_t value) { return _mm256_set1_epi32(value); }
VELUNDA_AVX2 __m256i all_lanes64(std::int64_t value) { return _mm256_set1_epi64x(value); }
VELUNDA_AVX2 __m256i widen_unsigned(__m256i lanes, int half) {
    return _mm256_cvtepu32_epi64(half == 0 ? _mm256_castsi256_si128(lanes) : _mm256_extracti128_si256(lanes, 1));
}
VELUNDA_AVX2 __m256i widen_signed(__m256i lanes, int half) {
    return _mm256_cvtepi32_epi64(half == 0 ? _mm256_castsi256_si128(lanes) : _mm256_extracti128_si256(lanes, 1));
}
VELUNDA_AVX2 __m256i is_not(__m256i mask) { return _mm256_xor_si256(mask, _mm256_set1_epi32(-1)); }

// The upper 32 bits of g * cp / 2^64 rounded to odd, for 64-bit g and cp below 2^32: bits 32 to
// 95 of the product are g's high half times cp plus the carry of its low half's product, which
// stays below 2^64.
VELUNDA_AVX2 __m256i round_to_odd(__m256i g, __m256i g_high, __m256i cp) {
    const __m256i low = _mm256_mul_epu32(g, cp);
    const __m256i upper = _mm256_add_epi64(_mm256_mul_epu32(g_high, cp), _mm256_srli_epi64(low, 32));
    const __m256i middle_is_0_or_1 =
        _mm256_cmpeq_epi64(_mm256_and_si256(upper, all_lanes64(0xFFFFFFFE)), _mm256_setzero_si256());
    return _mm256_or_si256(_mm256_srli_epi64(upper, 32), _mm256_andnot_si256(middle_is_0_or_1, all_lanes64(1)));
}

VELUNDA_AVX2 __m256i greater(__m256i a, __m256i b) { return _mm256_cmpgt_epi64(a, b); }

}  // namespace

[[gnu::target("avx2")]] void shortest_f32_block_avx2(const std::uint8_t* wire, ShortestDigitsBlock& block) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i bits =
        _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(wire)), all_lanes(0x7FFFFFFF));
    const __m256i fraction = _mm256_and_si256(bits, all_lanes(0x7FFFFF));
    const __m256i biased_exponent = _mm256_srli_epi32(bits, 23);
    const __m256i subnormal = _mm256_cmpeq_epi32(biased_exponent, zero);
    const __m256i c = _mm256_or_si256(fraction, _mm256_andnot_si256(subnormal, all_lanes(0x800000)));
    const __m256i q = _mm256_blendv_epi8(_mm256_sub_epi32(biased_exponent, all_lanes(150)), all_lanes(-149), subnormal);

    // Small integers are their own shortest digits.
    const __m256i minus_q = _mm256_sub_epi32(zero, q);
    const __m256i below_point = _mm256_sub_epi32(_mm256_sllv_epi32(all_lanes(1), minus_q), all_lanes(1));
    const __m256i small_integer =
        _mm256_andnot_si256(subnormal, _mm256_and_si256(_mm256_and_si256(_mm256_cmpgt_epi32(all_lanes(1), q),
                                                                         _mm256_cmpgt_epi32(all_lanes(24), minus_q)),
                                                        _mm256_cmpeq_epi32(_mm256_and_si256(c, below_point), zero)));
    const __m256i integer_value = _mm256_srlv_epi32(c, minus_q);

    const __m256i lower_boundary_closer =
        _mm256_and_si256(_mm256_cmpeq_epi32(fraction, zero), _mm256_cmpgt_epi32(biased_exponent, all_lanes(1)));
    const __m256i cb = _mm256_slli_epi32(c, 2);
    const __m256i cbl = _mm256_sub_epi32(_mm256_sub_epi32(cb, all_lanes(2)), lower_boundary_closer);
    const __m256i cbr = _mm256_add_epi32(cb, all_lanes(2));
    const __m256i k = _mm256_srai_epi32(
        _mm256_sub_epi32(_mm256_mullo_epi32(q, all_lanes(log10_pow2_multiplier)),
                         _mm256_and_si256(lower_boundary_closer, all_lanes(log10_three_quarters_offset))),
        22);
    const __m256i minus_k = _mm256_sub_epi32(zero, k);
    const __m256i h = _mm256_add_epi32(
        _mm256_add_epi32(q, _mm256_srai_epi32(_mm256_mullo_epi32(minus_k, all_lanes(log2_pow10_multiplier)), 19)),
        all_lanes(1));
    const __m256i power_index = _mm256_sub_epi32(minus_k, all_lanes(min_power_64));
    const __m256i cpl = _mm256_sllv_epi32(cbl, h);
    const __m256i cp = _mm256_sllv_epi32(cb, h);
    const __m256i cpr = _mm256_sllv_epi32(cbr, h);
    const __m256i odd = _mm256_and_si256(c, all_lanes(1));

    for (int half = 0; half < 2; ++half) {
        const __m128i index =
            half == 0 ? _mm256_castsi256_si128(power_index) : _mm256_extracti128_si256(power_index, 1);
        const __m256i g = _mm256_i32gather_epi64(reinterpret_cast<const long long*>(powers_of_ten_64), index, 8);
        const __m256i g_high = _mm256_srli_epi64(g, 32);
        const __m256i vbl = round_to_odd(g, g_high, widen_unsigned(cpl, half));
        const __m256i vb = round_to_odd(g, g_high, widen_unsigned(cp, half));
        const __m256i vbr = round_to_odd(g, g_high, widen_unsigned(cpr, half));
        const __m256i not_even = widen_unsigned(odd, half);
        const __m256i lower = _mm256_add_epi64(vbl, not_even);
        const __m256i upper = _mm256_sub_epi64(vbr, not_even);

        const __m256i s = _mm256_srli_epi64(vb, 2);
        const __m256i sp = _mm256_srli_epi64(_mm256_mul_epu32(s, all_lanes64(0xCCCCCCCD)), 35);  // s / 10
        const __m256i sp40 = _mm256_add_epi64(_mm256_slli_epi64(sp, 5), _mm256_slli_epi64(sp, 3));
        const __m256i up_outside = greater(lower, sp40);
        const __m256i wp_outside = greater(_mm256_add_epi64(sp40, all_lanes64(40)), upper);
        const __m256i shorter = _mm256_and_si256(greater(s, all_lanes64(9)), _mm256_xor_si256(up_outside, wp_outside));
        const __m256i u_outside = greater(lower, _mm256_andnot_si256(all_lanes64(3), vb));
        const __m256i w_outside = greater(_mm256_add_epi64(_mm256_or_si256(vb, all_lanes64(3)), all_lanes64(1)), upper);
        const __m256i round_up =
            greater(_mm256_add_epi64(_mm256_and_si256(vb, all_lanes64(3)), _mm256_and_si256(s, all_lanes64(1))),
                    all_lanes64(2));
        const __m256i one_inside = _mm256_xor_si256(u_outside, w_outside);
        const __m256i step_up = _mm256_blendv_epi8(round_up, is_not(w_outside), one_inside);
        const __m256i nearest = _mm256_sub_epi64(s, step_up);
        const __m256i shortened = _mm256_sub_epi64(sp, is_not(wp_outside));
        const __m256i small = widen_signed(small_integer, half);
        const __m256i significand = _mm256_blendv_epi8(_mm256_blendv_epi8(nearest, shortened, shorter),
                                                       widen_unsigned(integer_value, half), small);
        const __m256i exponent = _mm256_andnot_si256(small, _mm256_sub_epi64(widen_signed(k, half), shorter));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(block.significands + 4 * half), significand);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(block.exponents + 4 * half), exponent);
    }
}

#undef VELUNDA_AVX2

}  // namespace velunda::codec::detail
