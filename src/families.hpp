#pragma once

// Every payload family, and every layout (a family at one version) in one fixed order: families
// as the unknown-kind message lists them, each family's versions as it lists them. An output
// form makes one entry per layout with `per_layout<Make>()`, so its table and the lookup below
// agree on every index.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "calibration/calibration.hpp"
#include "diagnostics/diagnostics.hpp"
#include "samples/layouts.hpp"

namespace velunda {

template <class... Families>
struct FamilyList {
    static constexpr std::size_t layout_count = (std::size(Families::versions) + ...);
};

using Families = FamilyList<calibration::Family, diagnostics::Family, samples::Family>;

// A family as the opening looks it up at run time.
struct FamilyInfo {
    std::string_view kind;  // "samples"
    std::string_view tag;   // "Samples"
    std::span<const std::uint64_t> versions;
    std::size_t first_layout;  // the index of its first version's layout
};

// One layout: a family at one of its versions, with its index in every per_layout table.
struct Layout {
    const FamilyInfo* family;
    std::uint64_t version;
    std::size_t index;
};

std::span<const FamilyInfo> families();
const FamilyInfo* find_family(std::string_view kind);
// Nothing when the family has no such version.
std::optional<Layout> find_layout(const FamilyInfo& family, std::uint64_t version);

namespace detail {

template <class Make, class Family>
constexpr auto family_entries() {
    return []<std::size_t... Index>(std::index_sequence<Index...>) {
        return std::array{Make::template entry<Family, Family::versions[Index]>()...};
    }(std::make_index_sequence<std::size(Family::versions)>{});
}

template <class Entry, std::size_t... Sizes>
constexpr auto join(const std::array<Entry, Sizes>&... parts) {
    std::array<Entry, (Sizes + ...)> joined{};
    std::size_t at = 0;
    ((std::copy(parts.begin(), parts.end(), joined.begin() + static_cast<std::ptrdiff_t>(at)), at += Sizes), ...);
    return joined;
}

template <class Make, class... Members>
constexpr auto per_layout(FamilyList<Members...>) {
    return join(family_entries<Make, Members>()...);
}

}  // namespace detail

// `Make::entry<Family, Version>()` for every layout, in layout order.
template <class Make>
constexpr auto per_layout() {
    return detail::per_layout<Make>(Families{});
}

}  // namespace velunda
