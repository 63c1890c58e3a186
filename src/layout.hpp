#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

#include "codec/schema.hpp"

namespace velunda {

// One version of one family: the envelope text that opens it ({"Samples":{"V13":) and the
// transcoder of its record; the envelope closes with envelope_close.
struct Layout {
    std::uint64_t version;
    std::string_view envelope_open;
    codec::Transcoder transcode;
    std::string_view family_tag;  // "Samples"
    codec::Describer describe;    // the record's JSON Schema
};

// What closes every envelope: the version object, then the family object.
inline constexpr std::string_view envelope_close = "}}";

namespace detail {

constexpr std::size_t decimal_digits(std::uint64_t value) {
    std::size_t digits = 1;
    while (value >= 10) {
        value /= 10;
        ++digits;
    }
    return digits;
}

template <std::uint64_t Version>
inline constexpr auto version_tag = [] {
    std::array<char, 3 + decimal_digits(Version)> tag{};  // "V13"
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

template <codec::FixedString FamilyTag, std::uint64_t Version>
inline constexpr auto envelope_open = codec::concat(codec::chars<'{'>, codec::quoted<FamilyTag>, codec::chars<':', '{'>,
                                                    version_tag<Version>, codec::chars<':'>);

}  // namespace detail

template <codec::FixedString FamilyTag, std::uint64_t Version, codec::Schema Payload>
constexpr Layout layout() {
    return {Version, codec::view_of(detail::envelope_open<FamilyTag, Version>), &Payload::transcode, FamilyTag.view(),
            &Payload::describe};
}

// Every version of a family, from its list of versions and its table (a record template over the
// version): adding a version is adding its number.
template <codec::FixedString FamilyTag, const auto& Versions, template <std::uint64_t> class Payload>
constexpr auto layouts_of() {
    return []<std::size_t... Index>(std::index_sequence<Index...>) {
        return std::array<Layout, sizeof...(Index)>{layout<FamilyTag, Versions[Index], Payload<Versions[Index]>>()...};
    }(std::make_index_sequence<std::size(Versions)>{});
}

}  // namespace velunda
