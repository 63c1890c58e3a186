#include <initializer_list>

#include "family_list.hpp"
#include "json/decode_json.hpp"
#include "json/schema_describer.hpp"

namespace velunda::json {

namespace {

struct MakeDescriber {
    template <class Family, std::uint64_t Version>
    static constexpr Describer entry() {
        return &JsonSchemaOf<typename Family::template Payload<Version>>::describe;
    }
};

constexpr auto describers = per_layout<MakeDescriber>();

}  // namespace

std::optional<std::string> json_schema(std::string_view kind, std::uint64_t version) {
    const FamilyInfo* family = find_family(kind);
    const std::optional<Layout> layout = family != nullptr ? find_layout(*family, version) : std::nullopt;
    if (!layout) return std::nullopt;
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
               number, key_order_note, R"(","type":"object","properties":{")", family->tag,
               R"(":{"type":"object","properties":{"V)", number, R"(":)"});
    describers[layout->index](out);
    text(out, {R"(},"required":["V)", number, R"("],"additionalProperties":false}},"required":[")", family->tag,
               R"("],"additionalProperties":false})"});
    return out;
}

}  // namespace velunda::json
