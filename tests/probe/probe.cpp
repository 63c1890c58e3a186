// A C ABI over the codec for the Python tests (loaded with ctypes, never installed): it runs
// single wire types and the number formatters on given bytes, so the tests can hold each
// primitive against its rules without a payload family around it.

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "codec/base64.hpp"
#include "codec/cpu_features.hpp"
#include "codec/descriptions.hpp"
#include "codec/number_format.hpp"
#include "codec/shortest_block.hpp"
#include "codec/static_text.hpp"
#include "json/transcode.hpp"
#include "samples/chemistry_records.hpp"
#include "samples/core_records.hpp"

namespace {

using namespace velunda::codec;
using velunda::json::JsonWriter;
using velunda::json::transcode;
using velunda::json::Transcoder;

using Enum11 = Enum<Unit<"V0">, Unit<"V1">, Unit<"V2">, Unit<"V3">, Unit<"V4">, Unit<"V5">, Unit<"V6">, Unit<"V7">,
                    Unit<"V8">, Unit<"V9">, Unit<"V10">>;
using Pump = Enum<Unit<"Off">, Newtype<"On", U16>>;
using Sentence = Enum<Unit<"None">, StructVariant<"Point", Field<"x", I32>, Field<"y", Option<F32>>>>;

struct NamedSchema {
    std::string_view name;
    Transcoder transcode;
};

constexpr NamedSchema schemas[] = {
    {"u8", &transcode<U8>},
    {"bool", &transcode<Bool>},
    {"u16", &transcode<U16>},
    {"u32", &transcode<U32>},
    {"u64", &transcode<U64>},
    {"i16", &transcode<I16>},
    {"i32", &transcode<I32>},
    {"i64", &transcode<I64>},
    {"f32", &transcode<F32>},
    {"f64", &transcode<F64>},
    {"option_f32", &transcode<Option<F32>>},
    {"option_u8", &transcode<Option<U8>>},
    {"option_unit", &transcode<OptionUnit>},
    {"list_i32", &transcode<List<I32>>},
    {"list_f32", &transcode<List<F32>>},
    {"list_option_u8", &transcode<List<Option<U8>>>},
    {"bounded11_i32", &transcode<BoundedList<I32, 11>>},
    {"bounded11_u16", &transcode<BoundedList<U16, 11>>},
    {"array3_u8", &transcode<Array<U8, 3>>},
    {"list_array3_i16", &transcode<List<Array<I16, 3>>>},
    {"list_array4_u16", &transcode<List<Array<U16, 4>>>},
    {"enum11", &transcode<Enum11>},
    {"pump", &transcode<Pump>},
    {"sentence", &transcode<Sentence>},
    {"record", &transcode<Record<Field<"a", U8>, Field<"b", List<Bool>>, Field<"c", Pump>>>},
    // Sample records on their own.
    {"ScheduleState", &transcode<velunda::samples::core::ScheduleState>},
    {"PyroData.v5_v6", &transcode<velunda::samples::chemistry::since_v5::PyroData>},
    {"PyroData.v8_v9", &transcode<velunda::samples::chemistry::since_v8::PyroData>},
    {"PyroData.v10_to_v13", &transcode<velunda::samples::chemistry::since_v10::PyroData>},
    {"TurnerData.v6", &transcode<velunda::samples::chemistry::since_v6::TurnerData>},
    {"TurnerData.v8_to_v13", &transcode<velunda::samples::chemistry::since_v8::TurnerData>},
    {"K30Data", &transcode<velunda::samples::chemistry::K30Data>},
    {"Scd30Data", &transcode<velunda::samples::chemistry::Scd30Data>},
    {"WaterConductivityData", &transcode<velunda::samples::chemistry::WaterConductivityData>},
};

// std::to_chars's shortest digits of a finite nonzero value, as (significand without trailing
// zeros, exponent): the reference the fast digits must match exactly.
template <class Float>
ShortestDigits64 reference_digits(Float value) {
    char text[64];
    const char* const end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
    const char* p = text + (text[0] == '-');
    std::uint64_t significand = static_cast<std::uint64_t>(*p++ - '0');
    int fraction_digits = 0;
    if (*p == '.') {
        for (++p; *p != 'e'; ++p, ++fraction_digits)
            significand = significand * 10 + static_cast<std::uint64_t>(*p - '0');
    }
    int exponent = 0;
    std::from_chars(p + 1 + (p[1] == '+'), end, exponent);
    exponent -= fraction_digits;
    for (; significand % 10 == 0; significand /= 10) ++exponent;
    return {significand, exponent};
}

// The text the layout rules give for std::to_chars's shortest digits D x 10^E of a finite
// value: plain while the point P = digits + E stays within [smallest_point, largest_point],
// otherwise in exponent form. Written out rule by rule, as an independent reference.
template <class Float>
std::string reference_text(Float value, int largest_point, int smallest_point) {
    if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
    const auto [significand, exponent] = reference_digits(value);
    const std::string digits = std::to_string(significand);
    const int count = static_cast<int>(digits.size());
    const int point = count + exponent;
    // Appended piece by piece: GCC 12 misreads chains of string + string as overlapping copies.
    std::string text = std::signbit(value) ? "-" : "";
    const auto zeros = [&](int count) { text.append(static_cast<std::size_t>(count), '0'); };
    if (exponent >= 0 && point <= largest_point) {
        text += digits;
        zeros(exponent);
        text += ".0";
    } else if (point > 0 && point <= largest_point) {
        text.append(digits, 0, static_cast<std::size_t>(point));
        text += '.';
        text.append(digits, static_cast<std::size_t>(point));
    } else if (point <= 0 && point >= smallest_point) {
        text += "0.";
        zeros(-point);
        text += digits;
    } else {
        text += digits[0];
        if (count > 1) {
            text += '.';
            text.append(digits, 1);
        }
        text += 'e';
        text += std::to_string(point - 1);
    }
    return text;
}

// The text is exactly the rules' text for std::to_chars's digits, and reads back to the same bits.
bool formats_exactly(std::uint32_t bits) {
    const float value = std::bit_cast<float>(bits);
    char text[max_number_chars];
    const char* end = format_f32(text, value);
    const std::string_view ours(text, static_cast<std::size_t>(end - text));
    if (!std::isfinite(value)) return ours == "null";
    float parsed = 0;
    const auto result = std::from_chars(text, end, parsed);
    if (result.ec != std::errc() || result.ptr != end || std::bit_cast<std::uint32_t>(parsed) != bits) return false;
    if (value != 0) {
        const ShortestDigits digits = shortest_f32_digits(value);
        const ShortestDigits64 reference = reference_digits(value);
        if (digits.significand != reference.significand || digits.exponent != reference.exponent) return false;
    }
    return ours == reference_text(value, 13, -5);
}

// The same for a binary64.
bool formats_exactly(double value) {
    char text[max_number_chars];
    const char* end = format_f64(text, value);
    const std::string_view ours(text, static_cast<std::size_t>(end - text));
    if (!std::isfinite(value)) return ours == "null";
    double parsed = 0;
    const auto result = std::from_chars(text, end, parsed);
    if (result.ec != std::errc() || result.ptr != end ||
        std::bit_cast<std::uint64_t>(parsed) != std::bit_cast<std::uint64_t>(value)) {
        return false;
    }
    if (value != 0) {
        const ShortestDigits64 digits = shortest_f64_digits(value);
        const ShortestDigits64 reference = reference_digits(value);
        if (digits.significand != reference.significand || digits.exponent != reference.exponent) return false;
    }
    return ours == reference_text(value, 16, -4);
}

// Binary64 values where shortest-digit methods go wrong: every power of two (its lower neighbour
// is closer), the largest and smallest of each kind, integers at the edge of exactness, and values
// known to be hard for round-trip formatting.
std::vector<std::uint64_t> hard_binary64_cases() {
    std::vector<std::uint64_t> cases;
    for (std::uint64_t exponent = 0; exponent < 0x7FF; ++exponent) {
        for (const std::uint64_t fraction :
             {UINT64_C(0), UINT64_C(1), UINT64_C(2), UINT64_C(0xFFFFFFFFFFFFF), UINT64_C(0xFFFFFFFFFFFFE)}) {
            cases.push_back(exponent << 52 | fraction);
        }
    }
    for (const double value : {5e-324,
                               1e-323,
                               2.2250738585072009e-308,
                               2.2250738585072014e-308,
                               1.7976931348623157e308,
                               9007199254740991.0,
                               9007199254740992.0,
                               9007199254740994.0,
                               1e15,
                               1e16,
                               1e17,
                               1e22,
                               1e23,
                               5e-310,
                               2.98023223876953125e-8,
                               1.9156918820264798e-56,
                               6.6564021122018745e+264,
                               4.91e-6,
                               5.547e-6,
                               0.1,
                               0.3,
                               2.0 / 3.0,
                               123456789012345680.0,
                               1.0e-7,
                               9.999999999999999e22}) {
        cases.push_back(std::bit_cast<std::uint64_t>(value));
    }
    return cases;
}

// Formats into room of max_number_chars, as the writer gives every number, and copies the text
// (at most 32 bytes) to `out`.
template <class Format>
std::size_t copy_number(char* out, Format format) {
    char text[max_number_chars];
    const auto size = static_cast<std::size_t>(format(text) - text);
    std::memcpy(out, text, size);
    return size;
}

}  // namespace

extern "C" {

// Returns 1 and the JSON on success, 0 and the wire-error name on failure, -1 for an unknown schema.
__attribute__((visibility("default"))) int velunda_probe_transcode(const char* schema, const std::uint8_t* data,
                                                                   std::size_t size, char* out, std::size_t capacity,
                                                                   std::size_t* out_size, std::size_t* consumed) {
    for (const NamedSchema& named : schemas) {
        if (named.name != schema) continue;
        Reader reader(data, size);
        JsonWriter writer;
        const Failure failure = named.transcode(reader, writer);
        const std::string_view text = failure ? name_of(*failure) : writer.text();
        *out_size = text.size();
        *consumed = reader.offset();
        std::memcpy(out, text.data(), text.size() < capacity ? text.size() : capacity);
        return failure ? 0 : 1;
    }
    return -1;
}

__attribute__((visibility("default"))) std::size_t velunda_probe_format_f32(std::uint32_t bits, char* out) {
    return copy_number(out, [&](char* text) { return format_f32(text, std::bit_cast<float>(bits)); });
}

__attribute__((visibility("default"))) std::size_t velunda_probe_format_f64(std::uint64_t bits, char* out) {
    return copy_number(out, [&](char* text) { return format_f64(text, std::bit_cast<double>(bits)); });
}

__attribute__((visibility("default"))) std::size_t velunda_probe_format_i64(std::int64_t value, char* out) {
    return copy_number(out, [&](char* text) { return format_i64(text, value); });
}

__attribute__((visibility("default"))) std::size_t velunda_probe_format_u64(std::uint64_t value, char* out) {
    return copy_number(out, [&](char* text) { return format_u64(text, value); });
}

// Decodes base64 into `out` (room for base64_decoded_capacity bytes). Returns -1 when the text
// decodes, else the error kind's number with its offset and byte.
__attribute__((visibility("default"))) int velunda_probe_base64(const char* text, std::size_t size, std::uint8_t* out,
                                                                std::size_t* out_size, std::size_t* offset,
                                                                std::uint8_t* byte) {
    const auto error = base64_decode(std::string_view(text, size), out, *out_size);
    if (!error) return -1;
    *offset = error->offset;
    *byte = error->byte;
    return static_cast<int>(error->kind);
}

// `out` needs room for 6 * size + 2 bytes.
__attribute__((visibility("default"))) std::size_t velunda_probe_quote(const char* text, std::size_t size, char* out) {
    JsonWriter writer;
    writer.write_string(std::string_view(text, size));
    std::memcpy(out, writer.text().data(), writer.text().size());
    return writer.text().size();
}

// The text of eight values written at once is their texts written one at a time, with commas,
// and the vector search finds the digits the scalar one does.
bool block_formats_alike(const std::uint32_t (&bits)[f32_block_size]) {
    std::string singles;
    for (const std::uint32_t each : bits) {
        char text[max_number_chars];
        singles += ',';
        singles.append(text, format_f32(text, std::bit_cast<float>(each)));
    }
    char block[f32_block_room];
    const auto* wire = reinterpret_cast<const std::uint8_t*>(bits);
    const char* end = format_f32_block(block, wire, true);
    if (singles != std::string_view(block, static_cast<std::size_t>(end - block))) return false;
    if (!detail::has_avx2) return true;
    // The vector search's digits are the scalar one's, for the values whose digits are read.
    detail::ShortestDigitsBlock vector;
    detail::ShortestDigitsBlock scalar;
    detail::shortest_f32_block_avx2(wire, vector);
    detail::shortest_f32_block_scalar(wire, scalar);
    for (std::size_t i = 0; i < f32_block_size; ++i) {
        const std::uint32_t magnitude = bits[i] & 0x7FFFFFFF;
        if (magnitude == 0 || magnitude >= 0x7F800000) continue;
        if (vector.significands[i] != scalar.significands[i] || vector.exponents[i] != scalar.exponents[i]) {
            return false;
        }
    }
    return true;
}

// Formats every `stride`-th binary32 bit pattern from 0 to 2^32 - 1, one at a time and eight at a
// time, and reads the text back; returns how many did not give back the same bits (or, for NaN
// and infinities, null) or differed between the two ways.
__attribute__((visibility("default"))) std::uint64_t velunda_probe_f32_format_failures(std::uint32_t stride,
                                                                                       unsigned thread_count) {
    std::atomic<std::uint64_t> failures{0};
    std::vector<std::thread> threads;
    const std::uint64_t patterns = (UINT64_C(1) << 32);
    const std::uint64_t step = std::uint64_t(stride) * thread_count;
    threads.reserve(thread_count);
    for (unsigned t = 0; t < thread_count; ++t) {
        threads.emplace_back([&, t] {
            std::uint64_t local = 0;
            for (std::uint64_t first = std::uint64_t(t) * stride; first < patterns; first += step * f32_block_size) {
                std::uint32_t bits[f32_block_size];
                for (std::size_t i = 0; i < f32_block_size; ++i) {
                    bits[i] = static_cast<std::uint32_t>(first + step * i);  // past the last, wrapped around
                }
                if (!block_formats_alike(bits)) ++local;
                for (std::size_t i = 0; i < f32_block_size && first + step * i < patterns; ++i) {
                    if (!formats_exactly(bits[i])) ++local;
                }
            }
            failures += local;
        });
    }
    for (std::thread& thread : threads) thread.join();
    return failures;
}

// Formats `count` random binary64 bit patterns (from `seed`) and every hard case, on `thread_count`
// threads; returns how many did not read back to the same bits with std::to_chars's digits.
__attribute__((visibility("default"))) std::uint64_t velunda_probe_f64_format_failures(std::uint64_t seed,
                                                                                       std::uint64_t count,
                                                                                       unsigned thread_count) {
    std::atomic<std::uint64_t> failures{0};
    for (const std::uint64_t bits : hard_binary64_cases()) {
        if (!formats_exactly(std::bit_cast<double>(bits)) || !formats_exactly(-std::bit_cast<double>(bits))) ++failures;
    }
    std::vector<std::thread> threads;
    threads.reserve(thread_count);
    for (unsigned t = 0; t < thread_count; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937_64 random(seed + t);
            std::uint64_t local = 0;
            for (std::uint64_t n = t; n < count; n += thread_count) {
                if (!formats_exactly(std::bit_cast<double>(random()))) ++local;
            }
            failures += local;
        });
    }
    for (std::thread& thread : threads) thread.join();
    return failures;
}

// Decodes random texts of every length from 0 to `max_length` with and without the vector path:
// valid ones, and each with one byte replaced by a random byte, by '=', or cut short; returns
// how many gave different bytes or a different error.
__attribute__((visibility("default"))) std::uint64_t velunda_probe_base64_differential(std::uint64_t seed,
                                                                                       std::size_t max_length) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::mt19937_64 random(seed);
    std::uint64_t mismatches = 0;
    std::vector<std::uint8_t> vector_out, scalar_out;
    const auto compare = [&](const std::string& text) {
        vector_out.assign(base64_decoded_capacity(text.size()) + 1, 0xAA);
        scalar_out.assign(vector_out.size(), 0xAA);
        std::size_t vector_size = 0, scalar_size = 0;
        const auto vector_error = velunda::codec::detail::base64_decode(text, vector_out.data(), vector_size, true);
        const auto scalar_error = velunda::codec::detail::base64_decode(text, scalar_out.data(), scalar_size, false);
        const bool same =
            vector_error == scalar_error &&
            (vector_error ||
             (vector_size == scalar_size &&
              std::equal(vector_out.begin(), vector_out.begin() + static_cast<long>(vector_size), scalar_out.begin())));
        if (!same) ++mismatches;
    };
    for (std::size_t length = 0; length <= max_length; ++length) {
        // Valid: whole groups of symbols, then canonical padding and zero unused bits.
        std::string text;
        for (std::size_t i = 0; i < length; ++i) text += alphabet[random() % 64];
        const std::size_t tail = length % 4;
        if (tail == 1) text.back() = 'A';
        if (tail == 2) {
            text.back() = alphabet[(random() % 4) * 16];
            text += "==";
        }
        if (tail == 3) {
            text.back() = alphabet[(random() % 16) * 4];
            text += '=';
        }
        compare(text);
        if (text.empty()) continue;
        std::string changed = text;
        changed[random() % changed.size()] = static_cast<char>(random() % 256);
        compare(changed);
        changed = text;
        changed[random() % changed.size()] = '=';
        compare(changed);
        compare(text.substr(0, random() % text.size()));
    }
    return mismatches;
}

// Formats every i16 and u16 value; returns how many differ from std::to_chars.
__attribute__((visibility("default"))) std::uint64_t velunda_probe_16_bit_format_failures() {
    std::uint64_t failures = 0;
    const auto check = [&](auto value, auto format) {
        char ours[max_number_chars], reference[16];
        const char* ours_end = format(ours, value);
        const char* reference_end = std::to_chars(reference, reference + sizeof reference, value).ptr;
        if (std::string_view(ours, static_cast<std::size_t>(ours_end - ours)) !=
            std::string_view(reference, static_cast<std::size_t>(reference_end - reference))) {
            ++failures;
        }
    };
    for (std::int32_t value = INT16_MIN; value <= INT16_MAX; ++value)
        check(static_cast<std::int16_t>(value), &format_i16);
    for (std::uint32_t value = 0; value <= UINT16_MAX; ++value) check(static_cast<std::uint16_t>(value), &format_u16);
    return failures;
}

}  // extern "C"
