#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/base64.hpp"
#include "codec/json_writer.hpp"
#include "codec/wire_error.hpp"

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

// What one decode call produced: the JSON text, or why there is none.
class Outcome {
public:
    enum class Status : std::uint8_t { ok, unknown_kind, failed };

    static Outcome success(codec::JsonWriter&& json);
    static Outcome unknown_kind();
    static Outcome failure(const Error& error);

    Status status() const { return status_; }
    bool ok() const { return status_ == Status::ok; }
    std::string_view json() const { return json_.text(); }
    const Error& error() const { return error_; }

    // The message a caller is shown for a failed decode of `kind`.
    std::string message(std::string_view kind) const;

private:
    Outcome(Status status, codec::JsonWriter&& json, const Error& error)
        : status_(status), json_(std::move(json)), error_(error) {}

    Status status_;
    codec::JsonWriter json_;
    Error error_;
};

// Whether `kind` names a family: "calibration", "diagnostics" or "samples".
bool is_known_kind(std::string_view kind);

// The message a caller is shown for a failed decode of `kind`.
std::string failure_message(Outcome::Status status, const Error& error, std::string_view kind);

// The JSON Schema (draft 2020-12) of the JSON that decode gives for this kind and version,
// envelope included; nothing when the family has no such version (or there is no such family).
// Made from the same declarations the decoder runs on.
std::optional<std::string> json_schema(std::string_view kind, std::uint64_t version);

// Every kind and version that decodes, families in the order of the unknown-kind message.
std::vector<std::pair<std::string_view, std::uint64_t>> supported_layouts();

// Decodes one payload of the family named by `kind` ("calibration", "diagnostics", "samples"),
// given as standard base64 text, into its enveloped JSON: {"Calibration":{"V1":{...}}}. The text
// is written into `storage` when one is given (it then holds at least the text on success).
Outcome decode(std::string_view kind, std::uint64_t version, std::string_view base64_text,
               codec::TextStorage* storage = nullptr);

}  // namespace velunda
