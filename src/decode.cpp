#include "decode.hpp"

#include <memory>
#include <span>

#include "codec/failure_path.hpp"

namespace velunda {

namespace {

// "'calibration', 'diagnostics', or 'samples'": the family table's kinds, in its order.
std::string expected_kinds() {
    std::string text;
    const std::span<const FamilyInfo> all = families();
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (i != 0) text += all.size() == 2 ? " or " : (i + 1 == all.size() ? ", or " : ", ");
        text += '\'';
        text += all[i].kind;
        text += '\'';
    }
    return text;
}

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

std::string failure_message(Status status, const Error& error, std::string_view kind) {
    switch (status) {
        case Status::ok:
            return {};
        case Status::unknown_kind:
            return "Unknown kind: '" + std::string(kind) + "'. Expected " + expected_kinds() + ".";
        case Status::failed:
            return "Parsing failed: " + describe(error);
    }
    return {};
}

bool is_known_kind(std::string_view kind) { return find_family(kind) != nullptr; }

std::vector<std::pair<std::string_view, std::uint64_t>> supported_layouts() {
    std::vector<std::pair<std::string_view, std::uint64_t>> all;
    for (const FamilyInfo& family : families()) {
        for (const std::uint64_t version : family.versions) all.emplace_back(family.kind, version);
    }
    return all;
}

Status decode_payload(std::string_view kind, std::uint64_t version, std::string_view base64_text, OutputForm& form,
                      Error& error) {
    const FamilyInfo* family = find_family(kind);
    if (family == nullptr) return Status::unknown_kind;

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
    if (auto base64_error = codec::base64_decode(base64_text, payload, payload_size)) {
        error = {.kind = Error::Kind::B64Error, .base64 = *base64_error};
        return Status::failed;
    }
    const std::optional<Layout> layout = find_layout(*family, version);
    if (!layout) {
        error = {.kind = Error::Kind::ProtocolVersionNotSupported, .version = version};
        return Status::failed;
    }

    codec::FailurePath failure_path;
    codec::Reader reader(payload, payload_size, &failure_path);
    if (auto failure = form.read_record(*layout, reader)) {
        error = {.kind = Error::Kind::PostcardError,
                 .wire = *failure,
                 .wire_offset = reader.offset(),
                 .path = failure_path.text()};
        return Status::failed;
    }
    return Status::ok;
}

}  // namespace velunda
