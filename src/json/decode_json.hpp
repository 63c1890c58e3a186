#pragma once

// The JSON form of a decode: the record's compact JSON in its two-level envelope,
// {"Samples":{"V13":{...}}}, and the JSON Schema of that text for every layout.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "codec/text_storage.hpp"
#include "decode.hpp"
#include "json/json_writer.hpp"

namespace velunda::json {

// What one decode to JSON produced: the text, or why there is none.
class Outcome {
public:
    Outcome(Status status, JsonWriter&& json, Error&& error)
        : status_(status), json_(std::move(json)), error_(std::move(error)) {}

    Status status() const { return status_; }
    bool ok() const { return status_ == Status::ok; }
    std::string_view json() const { return json_.text(); }
    const Error& error() const { return error_; }

    // The message a caller is shown for a failed decode of `kind`.
    std::string message(std::string_view kind) const { return failure_message(status_, error_, kind); }

private:
    Status status_;
    JsonWriter json_;
    Error error_;
};

// Decodes one payload into its enveloped JSON: {"Calibration":{"V1":{...}}}. The text is written
// into `storage` when one is given (it then holds at least the text on success).
Outcome decode(std::string_view kind, std::uint64_t version, std::string_view base64_text,
               codec::TextStorage* storage = nullptr);

// The JSON Schema (draft 2020-12) of the JSON that decode gives for this kind and version,
// envelope included; nothing when the family has no such version (or there is no such family).
std::optional<std::string> json_schema(std::string_view kind, std::uint64_t version);

}  // namespace velunda::json
