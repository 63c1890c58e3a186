#pragma once

// A payload family as a family header declares it: its kind (as callers name it), its tag (as
// the envelope names it), its versions and its table, a record template over the version.

#include <cstdint>

#include "codec/descriptions.hpp"
#include "codec/static_text.hpp"
#include "codec/version_table.hpp"

namespace velunda {

template <codec::FixedString Kind, codec::FixedString Tag, const auto& Versions,
          template <std::uint64_t> class PayloadOf>
struct FamilyOf {
    static constexpr auto kind = Kind;
    static constexpr auto tag = Tag;
    static constexpr const auto& versions = Versions;
    template <std::uint64_t Version>
    using Payload = PayloadOf<Version>;
};

}  // namespace velunda
