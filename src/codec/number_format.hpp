#pragma once

#include <cstddef>
#include <cstdint>

namespace velunda::codec {

// Room any formatted number needs: "-1.7976931348623157e308" and "-0.00001234567890123456" fit.
inline constexpr std::size_t max_number_chars = 24;

// Each writes the JSON text of the value at `out` (at most max_number_chars bytes) and returns
// the end of what it wrote.
char* format_u64(char* out, std::uint64_t value);
char* format_i64(char* out, std::int64_t value);

// Shortest round-trip digits of the value in its own precision, laid out in the plain form
// ("25.4", "0.000001", "1000000000000.0") while the decimal point stays close, otherwise in
// exponent form ("1e-45", "3.4028235e38"); NaN and infinities become null.
char* format_f32(char* out, float value);
char* format_f64(char* out, double value);

}  // namespace velunda::codec
