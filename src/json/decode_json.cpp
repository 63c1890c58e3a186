#include "json/decode_json.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

#include "family_list.hpp"
#include "json/transcode.hpp"

namespace velunda::json {

namespace {

template <std::uint64_t Version>
inline constexpr auto version_tag = [] {
    constexpr std::size_t digits = [] {
        std::size_t count = 1;
        for (std::uint64_t rest = Version; rest >= 10; rest /= 10) ++count;
        return count;
    }();
    std::array<char, 3 + digits> tag{};  // "V13"
    tag[0] = '"';
    tag[1] = 'V';
    std::uint64_t rest = Version;
    for (std::size_t at = tag.size() - 2; at >= 2; --at) {
        tag[at] = static_cast<char>('0' + rest % 10);
        rest /= 10;
    }
    tag.back() = '"';
    return tag;
}();

// {"Samples":{"V13":
template <codec::FixedString Tag, std::uint64_t Version>
inline constexpr auto envelope_open = codec::concat(codec::chars<'{'>, codec::quoted<Tag>, codec::chars<':', '{'>,
                                                    version_tag<Version>, codec::chars<':'>);

// What closes every envelope: the version object, then the family object.
constexpr std::string_view envelope_close = "}}";

struct JsonLayout {
    std::string_view envelope_open;
    Transcoder transcode;
    std::size_t least_room;  // for the whole text, when the record's JSON has a bound
};

struct MakeJsonLayout {
    template <class Family, std::uint64_t Version>
    static constexpr JsonLayout entry() {
        using Payload = typename Family::template Payload<Version>;
        constexpr auto& open = envelope_open<Family::tag, Version>;
        constexpr std::size_t bound = Bounded<Payload> ? JsonOut<Payload>::max_size : 0;
        return {codec::view_of(open), &transcode<Payload>, open.size() + bound + envelope_close.size()};
    }
};

constexpr auto json_layouts = per_layout<MakeJsonLayout>();

// Most payloads turn into a few times their size in JSON; starting near that skips the early
// doublings without reserving much for payloads that fail. A record of bounded JSON gets all it
// can need at once.
std::size_t initial_json_capacity(std::size_t payload_size, std::size_t least_room) {
    return std::max(128 + payload_size * 4, least_room);
}

class JsonForm final : public OutputForm {
public:
    explicit JsonForm(codec::TextStorage* storage) : writer_(0, storage) {}

    codec::Failure read_record(const Layout& layout, codec::Reader& reader) override {
        const JsonLayout& json = json_layouts[layout.index];
        writer_.reserve(initial_json_capacity(reader.remaining(), json.least_room));
        writer_.put(json.envelope_open);
        if (auto failure = json.transcode(reader, writer_)) return failure;
        writer_.put(envelope_close);
        return {};
    }

    JsonWriter& writer() { return writer_; }

private:
    JsonWriter writer_;
};

}  // namespace

Outcome decode(std::string_view kind, std::uint64_t version, std::string_view base64_text,
               codec::TextStorage* storage) {
    JsonForm form(storage);
    Error error{};
    const Status status = decode_payload(kind, version, base64_text, form, error);
    return {status, std::move(form.writer()), std::move(error)};
}

}  // namespace velunda::json
