#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "codec/failure_path.hpp"
#include "codec/wire_error.hpp"

namespace velunda::codec {

// A cursor over the decoded payload bytes. Reads only move forward; what lies past the last
// field a description asks for is never looked at. A read that fails leaves the cursor where it
// began, so offset() then tells where the failing value starts; with a FailurePath given, the
// walkers also note on it where in the record that value lies.
// The signed value of a zigzag-encoded varint: 0, -1, 1, -2, ... for 0, 1, 2, 3, ...
template <class SInt>
constexpr SInt unzigzag(std::make_unsigned_t<SInt> raw) {
    using UInt = std::make_unsigned_t<SInt>;
    return static_cast<SInt>(static_cast<UInt>((raw >> 1) ^ (UInt(0) - (raw & 1))));
}

class Reader {
public:
    Reader(const std::uint8_t* begin, std::size_t size, FailurePath* failure_path = nullptr)
        : begin_(begin), pos_(begin), end_(begin + size), failure_path_(failure_path) {}

    std::size_t remaining() const { return static_cast<std::size_t>(end_ - pos_); }
    std::size_t offset() const { return static_cast<std::size_t>(pos_ - begin_); }

    // For a value refused after it was read whole (an unknown variant, an element past a list's
    // capacity): the failure is then reported where the value began.
    const std::uint8_t* mark() const { return pos_; }
    void rewind(const std::uint8_t* mark) { pos_ = mark; }
    // The next `size` bytes, or nullptr with nothing read when fewer remain.
    const std::uint8_t* take(std::size_t size) {
        if (remaining() < size) return nullptr;
        const std::uint8_t* const start = pos_;
        pos_ += size;
        return start;
    }
    // Takes up where a copy of this reader (kept in registers for a stretch) has read to.
    void resume_from(const Reader& copy) { pos_ = copy.pos_; }

    void note_failed_name(std::string_view name) {
        if (failure_path_ != nullptr) failure_path_->add_name(name);
    }
    void note_failed_index(std::uint64_t index) {
        if (failure_path_ != nullptr) failure_path_->add_index(index);
    }

    Failure read_u8(std::uint8_t& out) {
        if (pos_ == end_) return WireError::DeserializeUnexpectedEnd;
        out = *pos_++;
        return {};
    }

    Failure read_bool(bool& out) { return read_zero_or_one(out, WireError::DeserializeBadBool); }

    // An option or optional-unit tag: 0 absent, 1 present.
    Failure read_option_tag(bool& present) { return read_zero_or_one(present, WireError::DeserializeBadOption); }

    // Unsigned LEB128 of the width of UInt. The last byte the width allows may carry only the bits
    // that still fit, so every accepted encoding fits exactly; over-long encodings of small values
    // (0x80 0x00) are accepted.
    template <class UInt>
    Failure read_varint(UInt& out) {
        static_assert(std::is_unsigned_v<UInt> && sizeof(UInt) >= 2);
        constexpr int bits = static_cast<int>(sizeof(UInt)) * 8;
        constexpr int max_bytes = (bits + 6) / 7;
        constexpr unsigned last_byte_max = (1u << (bits - 7 * (max_bytes - 1))) - 1;
        std::uint64_t value = 0;
        // Far from the end no byte needs its own bounds check; the loop then unrolls fully.
        if (remaining() >= max_bytes) {
            for (int i = 0; i < max_bytes; ++i) {
                const std::uint8_t byte = pos_[i];
                value |= static_cast<std::uint64_t>(byte & 0x7F) << (7 * i);
                if ((byte & 0x80) == 0) {
                    if (i == max_bytes - 1 && byte > last_byte_max) return WireError::DeserializeBadVarint;
                    pos_ += i + 1;
                    out = static_cast<UInt>(value);
                    return {};
                }
            }
            return WireError::DeserializeBadVarint;
        }
        for (int i = 0; pos_ + i != end_; ++i) {
            const std::uint8_t byte = pos_[i];
            value |= static_cast<std::uint64_t>(byte & 0x7F) << (7 * i);
            if ((byte & 0x80) == 0) {
                pos_ += i + 1;
                out = static_cast<UInt>(value);
                return {};
            }
        }
        return WireError::DeserializeUnexpectedEnd;
    }

    // Up to four varints of one or two bytes each, from one 8-byte load: false, with nothing read,
    // when one of them takes more bytes or fewer than 8 remain. The one-by-one reads then give
    // the exact values, errors and offsets; two-byte varints always fit 16 bits.
    template <std::size_t Count>
    bool read_short_varints(std::uint16_t (&out)[Count]) {
        static_assert(Count >= 1 && Count <= 4 && std::endian::native == std::endian::little);
        if (remaining() < 8) return false;
        std::uint64_t word;
        std::memcpy(&word, pos_, sizeof word);
        std::uint64_t ends = ~word & 0x8080808080808080;  // a clear high bit ends a varint
        std::size_t at = 0;
        for (std::size_t i = 0; i < Count; ++i) {
            const auto end = static_cast<std::size_t>(std::countr_zero(ends)) / 8;  // 8 when none is left
            if (end - at > 1) return false;
            const std::uint64_t bytes = word >> (8 * at);
            out[i] = static_cast<std::uint16_t>((bytes & 0x7F) | (end != at ? (bytes >> 1) & 0x3F80 : 0));
            ends &= ends - 1;
            at = end + 1;
        }
        pos_ += at;
        return true;
    }

    template <class SInt>
    Failure read_zigzag(SInt& out) {
        using UInt = std::make_unsigned_t<SInt>;
        UInt raw;
        if (auto failure = read_varint(raw)) return failure;
        out = unzigzag<SInt>(raw);
        return {};
    }

    // Little-endian IEEE-754 bit patterns, taken as they are: NaN, infinities and subnormals included.
    template <class Float>
    Failure read_float(Float& out) {
        using Bits = std::conditional_t<sizeof(Float) == 4, std::uint32_t, std::uint64_t>;
        if (remaining() < sizeof(Float)) return WireError::DeserializeUnexpectedEnd;
        Bits bits = 0;
        for (std::size_t i = 0; i < sizeof(Float); ++i) bits |= static_cast<Bits>(pos_[i]) << (8 * i);
        pos_ += sizeof(Float);
        out = std::bit_cast<Float>(bits);
        return {};
    }

private:
    Failure read_zero_or_one(bool& out, WireError otherwise) {
        if (pos_ == end_) return WireError::DeserializeUnexpectedEnd;
        if (*pos_ > 1) return otherwise;
        out = *pos_++ == 1;
        return {};
    }

    const std::uint8_t* begin_;
    const std::uint8_t* pos_;
    const std::uint8_t* end_;
    FailurePath* failure_path_;
};

}  // namespace velunda::codec
