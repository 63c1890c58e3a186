#pragma once

// A family's history as one table of rows: `Row<V, 4, Field<...>>` is the field in version 4
// and every later one, `Row<V, 4, Field<...>, 10>` in versions 4 to 10, and a row's form may
// change by version with `FormAt<V, Since<4, A>, Since<8, B>>`. `RecordOf<Row<V, ...>...>` is
// then the record of version V: the rows that stand in it, in table order.

#include <cstdint>
#include <type_traits>

#include "codec/descriptions.hpp"

namespace velunda::codec {

// What a row of a table holds in the versions it does not cover (see FormAt).
struct NoForm {};

// A row that some versions lack: the field where Present, nothing otherwise.
struct NoField {};

template <bool Present, class F>
using FieldIf = std::conditional_t<Present, F, NoField>;

namespace detail {

template <class... Kept>
struct KeptFields {};

template <class Kept, class... Rows>
struct DropAbsent;
template <class... Kept>
struct DropAbsent<KeptFields<Kept...>> {
    using type = Record<Kept...>;
};
template <class... Kept, class... Rest>
struct DropAbsent<KeptFields<Kept...>, NoField, Rest...> : DropAbsent<KeptFields<Kept...>, Rest...> {};
template <class... Kept, class Row, class... Rest>
struct DropAbsent<KeptFields<Kept...>, Row, Rest...> : DropAbsent<KeptFields<Kept..., Row>, Rest...> {};

}  // namespace detail

template <class... Rows>
using RecordOf = typename detail::DropAbsent<detail::KeptFields<>, Rows...>::type;

template <std::uint64_t Version, std::uint64_t From, class F, std::uint64_t Until = UINT64_MAX>
using Row = FieldIf<(Version >= From && Version <= Until), F>;

// The form a row takes from version From on, until a later Since replaces it. Before the first
// form there is none, and a record that kept the row there would not compile.
template <std::uint64_t From, Description T>
struct Since {
    static constexpr std::uint64_t from = From;
    using Type = T;
};

namespace detail {

template <std::uint64_t Version, class Chosen, class... Forms>
struct PickForm {
    using type = Chosen;
};
template <std::uint64_t Version, class Chosen, class Form, class... Rest>
struct PickForm<Version, Chosen, Form, Rest...>
    : PickForm<Version, std::conditional_t<(Form::from <= Version), typename Form::Type, Chosen>, Rest...> {};

}  // namespace detail

template <std::uint64_t Version, class... Forms>
using FormAt = typename detail::PickForm<Version, NoForm, Forms...>::type;

namespace descriptions {
using codec::FieldIf;
using codec::FormAt;
using codec::RecordOf;
using codec::Row;
using codec::Since;
}  // namespace descriptions

}  // namespace velunda::codec
