#include "decode.hpp"

#include <initializer_list>
#include <memory>
#include <span>

#include "calibration/calibration.hpp"
#include "diagnostics/diagnostics.hpp"
#include "layout.hpp"
#include "samples/samples.hpp"

namespace velunda {

namespace {

struct Family {
    std::string_view kind;
    std::span<const Layout> layouts;

    const Layout* find(std::uint64_t version) const {
        for (const Layout& layout : layouts) {
            if (layout.version == version) return &layout;
        }
        return nullptr;
    }
};

std::span<const Family> families() {
    static const Family table[] = {
        {"calibration", calibration::layouts()},
        {"diagnostics", diagnostics::layouts()},
        {"samples", samples::layouts()},
    };
    return table;
}

// "'calibration', 'diagnostics', or 'samples'": the family table's kinds, in its order.
std::string expected_kinds() {
    std::string text;
    const std::span<const Family> all = families();
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (i != 0) text += all.size() == 2 ? " or " : (i + 1 == all.size() ? ", or " : ", ");
        text += '\'';
        text += all[i].kind;
        text += '\'';
    }
    return text;
}

const Family* find_family(std::string_view kind) {
    for (const Family& family : families()) {
        if (family.kind == kind) return &family;
    }
    return nullptr;
}

// Most payloads turn into a few times their size in JSON; starting near that skips the early
// doublings without reserving much for payloads that fail.
std::size_t initial_json_capacity(std::size_t payload_size) { return 128 + payload_size * 4; }

}  // namespace

std::string describe(const Error& error) {
    switch (error.kind) {
        case Error::Kind::B64Error:
            return "B64Error(" + codec::describe(error.base64) + ")";
        case Error::Kind::PostcardError:
            return "PostcardError(" + std::string(codec::name_of(error.wire)) + ")";
        case Error::Kind::ProtocolVersionNotSupported:
            return "ProtocolVersionNotSupported(" + std::to_string(error.version) + ")";
    }
    return {};
}

std::optional<std::size_t> Error::offset() const {
    switch (kind) {
        case Kind::B64Error:
            return base64.offset;
        case Kind::PostcardError:
            return wire_offset;
        case Kind::ProtocolVersionNotSupported:
            break;
    }
    return std::nullopt;
}

Outcome Outcome::success(codec::JsonWriter&& json) { return Outcome(Status::ok, std::move(json), Error{}); }

Outcome Outcome::unknown_kind() { return Outcome(Status::unknown_kind, codec::JsonWriter(0), Error{}); }

Outcome Outcome::failure(const Error& error) { return Outcome(Status::failed, codec::JsonWriter(0), error); }

bool is_known_kind(std::string_view kind) { return find_family(kind) != nullptr; }

std::vector<std::pair<std::string_view, std::uint64_t>> supported_layouts() {
    std::vector<std::pair<std::string_view, std::uint64_t>> all;
    for (const Family& family : families()) {
        for (const Layout& layout : family.layouts) all.emplace_back(family.kind, layout.version);
    }
    return all;
}

std::optional<std::string> json_schema(std::string_view kind, std::uint64_t version) {
    const Family* family = find_family(kind);
    const Layout* layout = family != nullptr ? family->find(version) : nullptr;
    if (layout == nullptr) return std::nullopt;
    constexpr std::string_view key_order_note =
        ". Object keys always appear in the order in which 'properties' lists them (the wire order); non-finite floats "
        "are written as null.";
    // Appended piece by piece: GCC 12 misreads chains of string + string as overlapping copies.
    const std::string number = std::to_string(version);
    const auto text = [](std::string& to, std::initializer_list<std::string_view> pieces) {
        for (const std::string_view piece : pieces) to += piece;
    };
    std::string out;
    text(out, {R"({"$schema":"https://json-schema.org/draft/2020-12/schema","title":")", kind, "/", number,
               R"(","description":"The JSON that velunda_binary_parser writes for a )", kind, " payload of version ",
               number, key_order_note, R"(","type":"object","properties":{")", layout->family_tag,
               R"(":{"type":"object","properties":{"V)", number, R"(":)"});
    layout->describe(out);
    text(out, {R"(},"required":["V)", number, R"("],"additionalProperties":false}},"required":[")", layout->family_tag,
               R"("],"additionalProperties":false})"});
    return out;
}

std::string Outcome::message(std::string_view kind) const { return failure_message(status_, error_, kind); }

std::string failure_message(Outcome::Status status, const Error& error, std::string_view kind) {
    switch (status) {
        case Outcome::Status::ok:
            return {};
        case Outcome::Status::unknown_kind:
            return "Unknown kind: '" + std::string(kind) + "'. Expected " + expected_kinds() + ".";
        case Outcome::Status::failed:
            return "Parsing failed: " + describe(error);
    }
    return {};
}

Outcome decode(std::string_view kind, std::uint64_t version, std::string_view base64_text,
               codec::TextStorage* storage) {
    const Family* family = find_family(kind);
    if (family == nullptr) return Outcome::unknown_kind();

    // Base64 first, then the version: a bad text wins over an unsupported version.
    // Short payloads are decoded on the stack, saving an allocation on the calls that are
    // mostly overhead.
    const std::size_t payload_capacity = codec::base64_decoded_capacity(base64_text.size());
    std::uint8_t short_payload[512];
    std::unique_ptr<std::uint8_t[]> long_payload;
    std::uint8_t* const payload =
        payload_capacity <= sizeof short_payload
            ? short_payload
            : (long_payload = std::make_unique_for_overwrite<std::uint8_t[]>(payload_capacity)).get();
    std::size_t payload_size = 0;
    if (auto error = codec::base64_decode(base64_text, payload, payload_size)) {
        return Outcome::failure({.kind = Error::Kind::B64Error, .base64 = *error});
    }
    const Layout* layout = family->find(version);
    if (layout == nullptr) {
        return Outcome::failure({.kind = Error::Kind::ProtocolVersionNotSupported, .version = version});
    }

    codec::JsonWriter json(initial_json_capacity(payload_size), storage);
    json.put(layout->envelope_open);
    codec::FailurePath failure_path;
    codec::Reader reader(payload, payload_size, &failure_path);
    if (auto failure = layout->transcode(reader, json)) {
        return Outcome::failure({.kind = Error::Kind::PostcardError,
                                 .wire = *failure,
                                 .wire_offset = reader.offset(),
                                 .path = failure_path.text()});
    }
    json.put(envelope_close);
    return Outcome::success(std::move(json));
}

}  // namespace velunda
