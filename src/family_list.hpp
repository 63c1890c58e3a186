#pragma once

// Every payload family as a type, for the tables of the output forms: `per_layout<Make>()` is
// `Make::entry<Family, Version>()` for every layout, in the order families.hpp looks them up.

#include <array>
#include <cstddef>
#include <iterator>
#include <utility>

#include "calibration/calibration.hpp"
#include "codec/static_text.hpp"
#include "diagnostics/diagnostics.hpp"
#include "families.hpp"
#include "samples/layouts.hpp"

namespace velunda {

template <class... Members>
struct FamilyList {};

using Families = FamilyList<calibration::Family, diagnostics::Family, samples::Family>;

namespace detail {

template <class Make, class Family>
constexpr auto family_entries() {
    return []<std::size_t... Index>(std::index_sequence<Index...>) {
        return std::array{Make::template entry<Family, Family::versions[Index]>()...};
    }(std::make_index_sequence<std::size(Family::versions)>{});
}

template <class Make, class... Members>
constexpr auto per_layout(FamilyList<Members...>) {
    return codec::concat(family_entries<Make, Members>()...);
}

}  // namespace detail

template <class Make>
constexpr auto per_layout() {
    return detail::per_layout<Make>(Families{});
}

}  // namespace velunda
