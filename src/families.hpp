#pragma once

// Every payload family, and every layout (a family at one version), as looked up at run time, in
// the order of family_list.hpp: families as the unknown-kind message lists them, each family's
// versions as it lists them. An output form's table made with per_layout<Make>() has one entry
// per layout in that order, so `Layout::index` finds a layout's entry in every form.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace velunda {

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

}  // namespace velunda
