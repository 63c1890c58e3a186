#include "families.hpp"

#include "family_list.hpp"

namespace velunda {

namespace {

struct MakeFamilyInfo {
    template <class... Members>
    static constexpr auto table(FamilyList<Members...>) {
        std::array<FamilyInfo, sizeof...(Members)> infos{
            FamilyInfo{Members::kind.view(), Members::tag.view(), Members::versions, 0}...};
        std::size_t first = 0;
        for (FamilyInfo& info : infos) {
            info.first_layout = first;
            first += info.versions.size();
        }
        return infos;
    }
};

}  // namespace

std::span<const FamilyInfo> families() {
    static constexpr auto table = MakeFamilyInfo::table(Families{});
    return table;
}

const FamilyInfo* find_family(std::string_view kind) {
    for (const FamilyInfo& family : families()) {
        if (family.kind == kind) return &family;
    }
    return nullptr;
}

std::optional<Layout> find_layout(const FamilyInfo& family, std::uint64_t version) {
    for (std::size_t at = 0; at < family.versions.size(); ++at) {
        if (family.versions[at] == version) return Layout{&family, version, family.first_layout + at};
    }
    return std::nullopt;
}

}  // namespace velunda
