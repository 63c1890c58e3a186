#pragma once

// Declarative wire schemas. Each type below describes one wire value and transcodes it in one
// step: it reads the value from the Reader and at once appends its JSON to the JsonWriter. A
// record layout is then a type whose field list mirrors its table, e.g.
//
//     using ImuDataVec = Record<Field<"x", I16>, Field<"y", I16>, Field<"z", I16>>;
//     using PWMPumpState = Enum<Unit<"Off">, Newtype<"On", U16>>;
//
// Nothing is stored between read and write, so no count read from the wire ever sizes an
// allocation: only the output grows, in step with the bytes actually consumed.

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "codec/json_writer.hpp"
#include "codec/reader.hpp"
#include "codec/static_text.hpp"

namespace velunda::codec {

using Transcoder = Failure (*)(Reader&, JsonWriter&);

// Every schema type has `transcode` and the least number of bytes one value takes on the wire.
template <class T>
concept Schema = requires(Reader& reader, JsonWriter& writer) {
    { T::transcode(reader, writer) } -> std::same_as<Failure>;
    { T::min_wire_size } -> std::convertible_to<std::size_t>;
};

// ---- Primitives -------------------------------------------------------------------------------

// A scalar: one reader call, then one writer call with the value read.
template <class Value, std::size_t MinWireSize, Failure (Reader::*read)(Value&), auto write>
struct Scalar {
    static constexpr std::size_t min_wire_size = MinWireSize;
    static Failure transcode(Reader& reader, JsonWriter& writer) {
        Value value;
        if (auto failure = (reader.*read)(value)) return failure;
        (writer.*write)(value);
        return {};
    }
};

using U8 = Scalar<std::uint8_t, 1, &Reader::read_u8, &JsonWriter::write_u64>;
using Bool = Scalar<bool, 1, &Reader::read_bool, &JsonWriter::write_bool>;
using U16 = Scalar<std::uint16_t, 1, &Reader::read_varint<std::uint16_t>, &JsonWriter::write_u64>;
using U32 = Scalar<std::uint32_t, 1, &Reader::read_varint<std::uint32_t>, &JsonWriter::write_u64>;
using U64 = Scalar<std::uint64_t, 1, &Reader::read_varint<std::uint64_t>, &JsonWriter::write_u64>;
using I16 = Scalar<std::int16_t, 1, &Reader::read_zigzag<std::int16_t>, &JsonWriter::write_i64>;
using I32 = Scalar<std::int32_t, 1, &Reader::read_zigzag<std::int32_t>, &JsonWriter::write_i64>;
using I64 = Scalar<std::int64_t, 1, &Reader::read_zigzag<std::int64_t>, &JsonWriter::write_i64>;
using F32 = Scalar<float, 4, &Reader::read_float<float>, &JsonWriter::write_f32>;
using F64 = Scalar<double, 8, &Reader::read_float<double>, &JsonWriter::write_f64>;

// ---- Options ----------------------------------------------------------------------------------

template <Schema T>
struct Option {
    static constexpr std::size_t min_wire_size = 1;
    static Failure transcode(Reader& reader, JsonWriter& writer) {
        bool present;
        if (auto failure = reader.read_option_tag(present)) return failure;
        if (!present) {
            writer.write_null();
            return {};
        }
        return T::transcode(reader, writer);
    }
};

// A tag and nothing else; written as null whichever tag was read.
struct OptionUnit {
    static constexpr std::size_t min_wire_size = 1;
    static Failure transcode(Reader& reader, JsonWriter& writer) {
        bool present;
        if (auto failure = reader.read_option_tag(present)) return failure;
        writer.write_null();
        return {};
    }
};

// ---- Sequences --------------------------------------------------------------------------------

// Elements that take no bytes would let a hostile count spin for 2^64 rounds; every element
// type must consume input, so a loop ends with the input at the latest.
template <class T>
concept ConsumesInput = Schema<T> && T::min_wire_size >= 1;

// A count, then that many elements; with Capacity set, the element after the last allowed one
// is still read first (its own error wins) and only then refused.
template <ConsumesInput T, std::uint64_t Capacity = UINT64_MAX>
struct BasicList {
    static constexpr std::size_t min_wire_size = 1;
    static Failure transcode(Reader& reader, JsonWriter& writer) {
        std::uint64_t count;
        if (auto failure = reader.read_varint(count)) return failure;
        writer.put('[');
        for (std::uint64_t index = 0; index < count; ++index) {
            if (index != 0) writer.put(',');
            if (auto failure = T::transcode(reader, writer)) return failure;
            if (index == Capacity) return WireError::SerdeDeCustom;
        }
        writer.put(']');
        return {};
    }
};

template <Schema T>
using List = BasicList<T>;

template <Schema T, std::uint64_t Capacity>
using BoundedList = BasicList<T, Capacity>;

// Exactly Count values, no count on the wire.
template <Schema T, std::size_t Count>
    requires(Count >= 1)
struct Array {
    static constexpr std::size_t min_wire_size = T::min_wire_size * Count;
    static Failure transcode(Reader& reader, JsonWriter& writer) {
        writer.put('[');
        for (std::size_t index = 0; index < Count; ++index) {
            if (index != 0) writer.put(',');
            if (auto failure = T::transcode(reader, writer)) return failure;
        }
        writer.put(']');
        return {};
    }
};

// ---- Records ----------------------------------------------------------------------------------

template <FixedString Key, Schema T>
struct Field {
    static constexpr auto key = Key;
    using Type = T;
};

namespace detail {

template <class F>
struct IsField : std::false_type {};
template <FixedString Key, class T>
struct IsField<Field<Key, T>> : std::true_type {};

// `{"key":` for the first field, `,"key":` for the others.
template <char Lead, FixedString Key>
inline constexpr auto key_token = concat(chars<Lead>, quoted<Key>, chars<':'>);

}  // namespace detail

template <class... Fields>
    requires(sizeof...(Fields) >= 1 && (detail::IsField<Fields>::value && ...))
struct Record {
    static constexpr std::size_t min_wire_size = (Fields::Type::min_wire_size + ...);

    static Failure transcode(Reader& reader, JsonWriter& writer) {
        if (auto failure = transcode_fields(reader, writer, std::index_sequence_for<Fields...>{})) return failure;
        writer.put('}');
        return {};
    }

private:
    template <std::size_t... Index>
    static Failure transcode_fields(Reader& reader, JsonWriter& writer, std::index_sequence<Index...>) {
        Failure failure;
        (void)((writer.put(detail::key_token<Index == 0 ? '{' : ',', Fields::key>),
                !(failure = Fields::Type::transcode(reader, writer))) &&
               ...);
        return failure;
    }
};

// A row of a table that some versions lack: `FieldIf<(Version >= 13), Field<...>>` is the field
// in version 13 and later and nothing before; `RecordOf` keeps only the rows present, so one
// table can declare several versions.
struct NoField {};

template <bool Present, class F>
    requires detail::IsField<F>::value
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

// ---- Enums ------------------------------------------------------------------------------------

// A variant without content, written as its name: "Off".
template <FixedString Name>
struct Unit {
    static constexpr std::size_t min_content_size = 0;
    static Failure transcode(Reader&, JsonWriter& writer) {
        writer.put(quoted<Name>);
        return {};
    }
};

// A variant holding one value, written as {"On":5}; a variant with named fields holds a Record
// and is written as {"Ahrs":{...}}.
template <FixedString Name, Schema T>
struct Newtype {
    static constexpr std::size_t min_content_size = T::min_wire_size;
    static Failure transcode(Reader& reader, JsonWriter& writer) {
        writer.put(detail::key_token<'{', Name>);
        if (auto failure = T::transcode(reader, writer)) return failure;
        writer.put('}');
        return {};
    }
};

template <FixedString Name, class... Fields>
using StructVariant = Newtype<Name, Record<Fields...>>;

// A u32 discriminant numbering the variants from 0 in declaration order, then that variant.
template <class... Variants>
    requires(sizeof...(Variants) >= 1)
struct Enum {
    static constexpr std::size_t min_wire_size = 1;
    static constexpr std::size_t variant_count = sizeof...(Variants);

    static Failure transcode(Reader& reader, JsonWriter& writer) {
        static constexpr std::array<Transcoder, variant_count> variants{&Variants::transcode...};
        std::uint32_t discriminant;
        if (auto failure = reader.read_varint(discriminant)) return failure;
        if (discriminant >= variant_count) return WireError::SerdeDeCustom;
        return variants[discriminant](reader, writer);
    }
};

// The vocabulary of record declarations: `using namespace codec::schema_types;` in a family's
// header brings in exactly these names.
namespace schema_types {
using codec::Array;
using codec::Bool;
using codec::BoundedList;
using codec::Enum;
using codec::F32;
using codec::F64;
using codec::Field;
using codec::FieldIf;
using codec::I16;
using codec::I32;
using codec::I64;
using codec::List;
using codec::Newtype;
using codec::Option;
using codec::OptionUnit;
using codec::Record;
using codec::RecordOf;
using codec::Schema;
using codec::StructVariant;
using codec::U16;
using codec::U32;
using codec::U64;
using codec::U8;
using codec::Unit;
}  // namespace schema_types

}  // namespace velunda::codec
