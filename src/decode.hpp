#pragma once

// The one opening every output form shares: the kind names a family, the base64 text becomes the
// payload's bytes, the version names a layout, and the form reads that layout's record from the
// bytes. Every check and every error comes in this order whatever the form.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/base64.hpp"
#include "codec/reader.hpp"
#include "codec/wire_error.hpp"
#include "families.hpp"

namespace velunda {

// The failure of the payload path: the base64 text, the version, or the record's bytes.
struct Error {
    enum class Kind : std::uint8_t { B64Error, PostcardError, ProtocolVersionNotSupported };
    Kind kind;
    codec::Base64Error base64{};
    codec::WireError wire{};
    std::uint64_t version = 0;
    // A wire error's place: the offset in the decoded payload where the failing value begins,
    // and its path from the top of the record in JSON keys, indices and variant names.
    std::size_t wire_offset = 0;
    std::string path{};

    // Where it failed: the byte offset in the payload (wire errors) or in the text (base64
    // errors); none for an unsupported version.
    std::optional<std::size_t> offset() const;
};

// "B64Error(InvalidByte(3, 45))", "PostcardError(SerdeDeCustom)", "ProtocolVersionNotSupported(7)".
std::string describe(const Error& error);

// How a decode ended: a record, a kind that names no family, or an Error.
enum class Status : std::uint8_t { ok, unknown_kind, failed };

// The message a caller is shown for a decode of `kind` that ended with `status`: "Unknown kind:
// ..." or "Parsing failed: ...".
std::string failure_message(Status status, const Error& error, std::string_view kind);

// Whether `kind` names a family: "calibration", "diagnostics" or "samples".
bool is_known_kind(std::string_view kind);

// Every kind and version that decodes, families in the order of the unknown-kind message.
std::vector<std::pair<std::string_view, std::uint64_t>> supported_layouts();

// What a decode makes of a record: JSON text, typed columns, ...
class OutputForm {
public:
    // Reads the record of `layout` from `reader` (the whole payload) and makes this form's
    // output of it; the first wire error stops it and is returned.
    virtual codec::Failure read_record(const Layout& layout, codec::Reader& reader) = 0;

protected:
    ~OutputForm() = default;
};

// Decodes one payload of the family named by `kind`, given as standard base64 text, into `form`.
// Status::failed comes with `error` filled; the form's output is whole only on Status::ok.
Status decode_payload(std::string_view kind, std::uint64_t version, std::string_view base64_text, OutputForm& form,
                      Error& error);

}  // namespace velunda
