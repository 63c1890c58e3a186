#include "codec/wire_error.hpp"

#include <array>

namespace velunda::codec {

std::string_view name_of(WireError error) {
    static constexpr std::array<std::string_view, 16> names{
        "WontImplement",
        "NotYetImplemented",
        "SerializeBufferFull",
        "SerializeSeqLengthUnknown",
        "DeserializeUnexpectedEnd",
        "DeserializeBadVarint",
        "DeserializeBadBool",
        "DeserializeBadChar",
        "DeserializeBadUtf8",
        "DeserializeBadOption",
        "DeserializeBadEnum",
        "DeserializeBadEncoding",
        "DeserializeBadCrc",
        "SerdeSerCustom",
        "SerdeDeCustom",
        "CollectStrError",
    };
    return names[static_cast<std::size_t>(error)];
}

}  // namespace velunda::codec
