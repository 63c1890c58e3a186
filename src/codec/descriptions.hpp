#pragma once

// The vocabulary of wire descriptions. Each type says what one value is on the wire and nothing
// else; a record layout is a type whose field list mirrors its table:
//
//     using ImuDataVec = Record<Field<"x", I16>, Field<"y", I16>, Field<"z", I16>>;
//     using PWMPumpState = Enum<Unit<"Off">, Newtype<"On", U16>>;
//
// What is made of a value (JSON text, its JSON Schema) is a walker specialised on these types in
// a folder of its own (src/json/), so an output form is added without touching a description.
// The few wire steps of the composite types (a list's count and capacity, an enum's
// discriminant) are defined here once, so that every walker reads and refuses alike.

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "codec/reader.hpp"
#include "codec/static_text.hpp"

namespace velunda::codec {

// Every description states the least number of bytes one value takes on the wire.
template <class T>
concept Description = requires {
    { T::min_wire_size } -> std::convertible_to<std::size_t>;
};

// ---- Scalars ----------------------------------------------------------------------------------

// A value read by one reader call.
template <class Value, std::size_t MinWireSize, Failure (Reader::*Read)(Value&)>
struct Scalar {
    using value_type = Value;
    static constexpr std::size_t min_wire_size = MinWireSize;
    static Failure read(Reader& reader, Value& value) { return (reader.*Read)(value); }
};

using U8 = Scalar<std::uint8_t, 1, &Reader::read_u8>;
using Bool = Scalar<bool, 1, &Reader::read_bool>;
using U16 = Scalar<std::uint16_t, 1, &Reader::read_varint<std::uint16_t>>;
using U32 = Scalar<std::uint32_t, 1, &Reader::read_varint<std::uint32_t>>;
using U64 = Scalar<std::uint64_t, 1, &Reader::read_varint<std::uint64_t>>;
using I16 = Scalar<std::int16_t, 1, &Reader::read_zigzag<std::int16_t>>;
using I32 = Scalar<std::int32_t, 1, &Reader::read_zigzag<std::int32_t>>;
using I64 = Scalar<std::int64_t, 1, &Reader::read_zigzag<std::int64_t>>;
using F32 = Scalar<float, 4, &Reader::read_float<float>>;
using F64 = Scalar<double, 8, &Reader::read_float<double>>;

// ---- Options ----------------------------------------------------------------------------------

// A tag byte, then the value when the tag says it is present.
template <Description T>
struct Option {
    using Inner = T;
    static constexpr std::size_t min_wire_size = 1;
};

// A tag and nothing else, whichever tag was read.
struct OptionUnit {
    static constexpr std::size_t min_wire_size = 1;
};

// ---- Sequences --------------------------------------------------------------------------------

// Elements that take no bytes would let a hostile count spin for 2^64 rounds; every element
// type must consume input, so a loop ends with the input at the latest.
template <class T>
concept ConsumesInput = Description<T> && T::min_wire_size >= 1;

inline constexpr std::uint64_t no_capacity = UINT64_MAX;

// A count, then that many elements; with a capacity, the element after the last allowed one is
// still read first (its own error wins) and only then refused.
template <ConsumesInput T, std::uint64_t Capacity = no_capacity>
struct BasicList {
    using Element = T;
    static constexpr std::uint64_t capacity = Capacity;
    static constexpr bool has_capacity = Capacity != no_capacity;
    static constexpr std::size_t min_wire_size = 1;

    static Failure read_count(Reader& reader, std::uint64_t& count) { return reader.read_varint(count); }

    // After element `index` (from 0), begun at `element_start`, was read whole: refused when it
    // is one past the capacity, and reported where it began. Lists without a capacity never
    // test, so that nothing of the check is left in their loops.
    static Failure refuse_past_capacity(Reader& reader, std::uint64_t index, const std::uint8_t* element_start) {
        if constexpr (has_capacity) {
            if (index == Capacity) {
                reader.rewind(element_start);
                return WireError::SerdeDeCustom;
            }
        }
        return {};
    }
};

template <Description T>
using List = BasicList<T>;

template <Description T, std::uint64_t Capacity>
using BoundedList = BasicList<T, Capacity>;

// Exactly Count values, no count on the wire.
template <Description T, std::size_t Count>
    requires(Count >= 1)
struct Array {
    using Element = T;
    static constexpr std::size_t count = Count;
    static constexpr std::size_t min_wire_size = T::min_wire_size * Count;
};

// ---- Records ----------------------------------------------------------------------------------

template <FixedString Key, class T>
struct Field {
    static constexpr auto key = Key;
    using Type = T;
};

namespace detail {

template <class F>
struct IsField : std::false_type {};
template <FixedString Key, Description T>
struct IsField<Field<Key, T>> : std::true_type {};

}  // namespace detail

// Its fields in declaration order, nothing before, between or after.
template <class... Fields>
    requires(sizeof...(Fields) >= 1 && (detail::IsField<Fields>::value && ...))
struct Record {
    static constexpr std::size_t min_wire_size = (Fields::Type::min_wire_size + ...);
};

// ---- Enums ------------------------------------------------------------------------------------

// A variant without content.
template <FixedString Name>
struct Unit {
    static constexpr auto name = Name;
    static constexpr bool has_content = false;
};

// A variant holding one value; a variant with named fields holds a Record.
template <FixedString Name, Description T>
struct Newtype {
    static constexpr auto name = Name;
    static constexpr bool has_content = true;
    using Content = T;
};

template <FixedString Name, class... Fields>
using StructVariant = Newtype<Name, Record<Fields...>>;

// A u32 discriminant numbering the variants from 0 in declaration order, then that variant's content.
template <class... Variants>
    requires(sizeof...(Variants) >= 1)
struct Enum {
    static constexpr std::size_t variant_count = sizeof...(Variants);
    static constexpr std::size_t min_wire_size = 1;

    // An out-of-range discriminant is reported where it began.
    static Failure read_discriminant(Reader& reader, std::uint32_t& discriminant) {
        const std::uint8_t* const start = reader.mark();
        if (auto failure = reader.read_varint(discriminant)) return failure;
        if (discriminant >= variant_count) {
            reader.rewind(start);
            return WireError::SerdeDeCustom;
        }
        return {};
    }
};

// The vocabulary of record declarations: `using namespace codec::descriptions;` in a family's
// header brings in exactly these names (and the version-table rows, from version_table.hpp).
namespace descriptions {
using codec::Array;
using codec::Bool;
using codec::BoundedList;
using codec::Description;
using codec::Enum;
using codec::F32;
using codec::F64;
using codec::Field;
using codec::I16;
using codec::I32;
using codec::I64;
using codec::List;
using codec::Newtype;
using codec::Option;
using codec::OptionUnit;
using codec::Record;
using codec::StructVariant;
using codec::U16;
using codec::U32;
using codec::U64;
using codec::U8;
using codec::Unit;
}  // namespace descriptions

}  // namespace velunda::codec
