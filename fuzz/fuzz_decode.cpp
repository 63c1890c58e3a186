// libFuzzer target on decode(). Input: one byte for the kind, one for the version, one for the
// mode, then the payload. The raw mode base64-encodes the payload first, so every input reaches
// the layouts; the text mode hands the payload over as the base64 text itself. Every outcome is
// checked: a failure must be one the decoder can report, a success must be ASCII JSON that
// parses and opens with the envelope of the requested family and version. The same payload is
// also decoded into typed columns, which must agree: a row exactly when the JSON is a record,
// else the same message and nulls.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/typed/table.hpp"
#include "json/decode_json.hpp"

namespace {

using velunda::Error;
using velunda::Status;
using velunda::codec::WireError;
using velunda::json::Outcome;

[[noreturn]] void fail(const char* what, std::string_view detail) {
    std::fprintf(stderr, "fuzz check failed: %s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

// A strict JSON syntax check: the writer's output must satisfy any JSON reader.
class JsonChecker {
public:
    explicit JsonChecker(std::string_view text) : text_(text) {}

    bool valid() { return value(0) && at_ == text_.size(); }

private:
    static constexpr int max_depth = 64;

    bool value(int depth) {
        if (at_ >= text_.size() || depth > max_depth) return false;
        switch (text_[at_]) {
            case '{':
                return object(depth);
            case '[':
                return array(depth);
            case '"':
                return string();
            case 't':
                return word("true");
            case 'f':
                return word("false");
            case 'n':
                return word("null");
            default:
                return number();
        }
    }
    bool object(int depth) {
        ++at_;
        if (peek('}')) return ++at_, true;
        while (true) {
            if (!string() || !peek(':')) return false;
            ++at_;
            if (!value(depth + 1)) return false;
            if (peek('}')) return ++at_, true;
            if (!peek(',')) return false;
            ++at_;
        }
    }
    bool array(int depth) {
        ++at_;
        if (peek(']')) return ++at_, true;
        while (true) {
            if (!value(depth + 1)) return false;
            if (peek(']')) return ++at_, true;
            if (!peek(',')) return false;
            ++at_;
        }
    }
    bool string() {
        if (!peek('"')) return false;
        for (++at_; at_ < text_.size(); ++at_) {
            const char c = text_[at_];
            if (c == '"') return ++at_, true;
            if (static_cast<unsigned char>(c) < 0x20 || c == '\\') return false;  // we never escape
        }
        return false;
    }
    bool word(std::string_view expected) {
        if (text_.substr(at_, expected.size()) != expected) return false;
        at_ += expected.size();
        return true;
    }
    bool digits() {
        const std::size_t start = at_;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
        return at_ > start;
    }
    bool number() {
        if (peek('-')) ++at_;
        if (peek('0')) {
            ++at_;
        } else if (!digits()) {
            return false;
        }
        if (peek('.')) {
            ++at_;
            if (!digits()) return false;
        }
        if (peek('e') || peek('E')) {
            ++at_;
            if (peek('-') || peek('+')) ++at_;
            if (!digits()) return false;
        }
        return true;
    }
    bool peek(char c) const { return at_ < text_.size() && text_[at_] == c; }

    std::string_view text_;
    std::size_t at_ = 0;
};

std::string base64(const std::uint8_t* data, std::size_t size) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((size + 2) / 3 * 4);
    for (std::size_t at = 0; at < size; at += 3) {
        const std::uint32_t group = (std::uint32_t{data[at]} << 16) | (at + 1 < size ? data[at + 1] << 8 : 0) |
                                    (at + 2 < size ? data[at + 2] : 0);
        text += alphabet[group >> 18];
        text += alphabet[(group >> 12) & 63];
        text += at + 1 < size ? alphabet[(group >> 6) & 63] : '=';
        text += at + 2 < size ? alphabet[group & 63] : '=';
    }
    return text;
}

bool is_reported_wire_error(WireError error) {
    switch (error) {
        case WireError::DeserializeUnexpectedEnd:
        case WireError::DeserializeBadVarint:
        case WireError::DeserializeBadBool:
        case WireError::DeserializeBadOption:
        case WireError::SerdeDeCustom:
            return true;
        default:
            return false;
    }
}

// Exercises the caller-owned storage path the binding uses for large results.
class VectorStorage final : public velunda::codec::TextStorage {
public:
    char* resize(std::size_t capacity) override {
        bytes_.resize(capacity);
        return bytes_.data();
    }

private:
    std::vector<char> bytes_;
};

constexpr std::string_view kinds[] = {"samples", "calibration", "diagnostics", "Samples"};
constexpr std::string_view family_tags[] = {"{\"Samples\":{\"V", "{\"Calibration\":{\"V", "{\"Diagnostics\":{\"V", ""};

std::uint64_t version_of(std::uint8_t selector) {
    if (selector < 16) return selector;
    if (selector == 255) return UINT64_MAX;
    return selector % 16;
}

// The typed form of the same payload must agree with the JSON: a row exactly when the JSON is a
// record, else the same message and nothing but nulls.
void check_typed_form(std::string_view kind, std::uint64_t version, const std::string& text, const Outcome& outcome,
                      bool spark) {
    using velunda::arrow::typed::Flavor;
    const auto batch = velunda::arrow::typed::decode_row(kind, version, text, spark ? Flavor::spark : Flavor::arrow);
    if (!batch) return;  // no layout: the JSON said so already
    if (batch->length != 1) fail("typed batch not of one row", text);
    const auto& error = batch->children.back();
    const bool decoded = outcome.status() == Status::ok;
    if ((error.null_count == 0) == decoded) fail("typed and JSON forms disagree on success", text);
    for (std::size_t at = 0; at + 1 < batch->children.size(); ++at) {
        const auto& column = batch->children[at];
        if (column.length != 1) fail("typed column not of one row", text);
        if (!decoded && column.null_count != 1) fail("a failed row left a value", text);
    }
    if (!decoded) {
        const auto* offsets = static_cast<const std::int32_t*>(error.buffers[1].data);
        const std::string_view message(static_cast<const char*>(error.buffers[2].data) + offsets[0],
                                       static_cast<std::size_t>(offsets[1] - offsets[0]));
        if (message != outcome.message(kind)) fail("typed and JSON messages differ", message);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::size_t kind_index = data[0] % 4;
    const std::uint64_t version = version_of(data[1]);
    const bool raw = (data[2] & 1) == 0;
    const bool own_storage = (data[2] & 2) != 0;
    const std::uint8_t* payload = data + 3;
    const std::size_t payload_size = size - 3;

    const std::string text =
        raw ? base64(payload, payload_size) : std::string(reinterpret_cast<const char*>(payload), payload_size);
    VectorStorage storage;
    const Outcome outcome = velunda::json::decode(kinds[kind_index], version, text, own_storage ? &storage : nullptr);

    if (kind_index == 3) {
        if (outcome.status() != Status::unknown_kind) fail("unknown kind accepted", text);
        return 0;
    }
    check_typed_form(kinds[kind_index], version, text, outcome, (data[2] & 4) != 0);
    if (outcome.status() == Status::failed) {
        const Error& error = outcome.error();
        if (raw && error.kind == Error::Kind::B64Error) fail("own base64 refused", text);
        if (error.kind == Error::Kind::PostcardError && !is_reported_wire_error(error.wire)) {
            fail("unexpected wire error", velunda::codec::name_of(error.wire));
        }
        if (error.kind == Error::Kind::ProtocolVersionNotSupported && error.version != version) {
            fail("wrong version reported", text);
        }
        // A wire error lies inside the payload and inside the record: an offset no further than
        // the decoded bytes (the end, when they ran out) and a path to some field.
        if (error.kind == Error::Kind::PostcardError) {
            if (raw && error.wire_offset > payload_size) fail("wire error past the payload", text);
            if (error.path.empty()) fail("wire error without a path", text);
        }
        if (outcome.message(kinds[kind_index]).empty()) fail("empty message", text);
        return 0;
    }
    if (outcome.status() != Status::ok) fail("known kind refused", text);

    const std::string_view json = outcome.json();
    for (const char c : json) {
        if (static_cast<unsigned char>(c) > 0x7F) fail("non-ASCII output", json);
    }
    if (!JsonChecker(json).valid()) fail("invalid JSON", json);
    const std::string envelope = std::string(family_tags[kind_index]) + std::to_string(version) + "\":";
    if (json.substr(0, envelope.size()) != envelope || json.substr(json.size() - 2) != "}}") {
        fail("wrong envelope", json);
    }
    return 0;
}
