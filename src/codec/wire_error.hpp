#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace velunda::codec {

// The wire-error names in their fixed order; the readers only ever produce five of them, but the
// numbering is part of the format's vocabulary and stays complete.
enum class WireError : std::uint8_t {
    WontImplement,
    NotYetImplemented,
    SerializeBufferFull,
    SerializeSeqLengthUnknown,
    DeserializeUnexpectedEnd,
    DeserializeBadVarint,
    DeserializeBadBool,
    DeserializeBadChar,
    DeserializeBadUtf8,
    DeserializeBadOption,
    DeserializeBadEnum,
    DeserializeBadEncoding,
    DeserializeBadCrc,
    SerdeSerCustom,
    SerdeDeCustom,
    CollectStrError,
};

std::string_view name_of(WireError error);

// What every reader returns: empty when the value was read, otherwise the first wire error met.
// A read's or a write's failure, or nothing. Must be looked at: a dropped failure would let a
// decode go on over bytes it never read.
struct [[nodiscard]] Failure : std::optional<WireError> {
    using std::optional<WireError>::optional;
};

}  // namespace velunda::codec
