#pragma once

// Declarative wire schemas. Each type below describes one wire value and transcodes it in one
// step: it reads the value from the Reader and at once appends its JSON to the JsonWriter. A
// record layout is then a type whose field list mirrors its table, e.g.
//
//     using ImuDataVec = Record<Field<"x", I16>, Field<"y", I16>, Field<"z", I16>>;
//     using PWMPumpState = Enum<Unit<"Off">, Newtype<"On", U16>>;
//
// Nothing is stored between read and write, so no count read from the wire ever sizes an
// allocation: only the output grows, in step with the bytes actually consumed. On a failure
// each enclosing field, variant and element notes its step on the reader's FailurePath as the
// failure returns; the success path does no such work.

#include <algorithm>
#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>

#include "codec/json_writer.hpp"
#include "codec/reader.hpp"
#include "codec/static_text.hpp"

namespace velunda::codec {

using Transcoder = Failure (*)(Reader&, JsonWriter&);
// Appends the JSON Schema (draft 2020-12) of the JSON a schema type writes.
using Describer = void (*)(std::string&);

// Every schema type has `transcode`, the least number of bytes one value takes on the wire, and
// the most bytes its JSON can take (`unbounded` once a list is inside). Each writes through
// `write<Out>`, where Out is the JsonWriter, which checks for room at every token, or a
// TextCursor into room already reserved: a value of bounded size reserves its whole maximum
// once and is then written by a local cursor the compiler keeps in registers, which is what
// makes long lists of small elements fast.
template <class T>
concept Schema = requires(Reader& reader, JsonWriter& writer) {
    { T::transcode(reader, writer) } -> std::same_as<Failure>;
    { T::min_wire_size } -> std::convertible_to<std::size_t>;
    { T::max_json_size } -> std::convertible_to<std::size_t>;
};

inline constexpr std::size_t unbounded = SIZE_MAX;

namespace detail {

constexpr std::size_t bounded_sum(std::initializer_list<std::size_t> sizes) {
    std::size_t total = 0;
    for (const std::size_t size : sizes) {
        if (size == unbounded) return unbounded;
        total += size;
    }
    return total;
}

inline constexpr std::array<char, 4> null_text{'n', 'u', 'l', 'l'};

// JSON Schema text of the value types: names and keys are plain identifiers, so they are quoted
// as they stand.
inline void append_quoted(std::string& out, std::string_view text) {
    out += '"';
    out += text;
    out += '"';
}

template <class Value>
void describe_integer(std::string& out) {
    out += "{\"type\":\"integer\",\"minimum\":";
    out += std::to_string(std::numeric_limits<Value>::min());
    out += ",\"maximum\":";
    out += std::to_string(std::numeric_limits<Value>::max());
    out += '}';
}

}  // namespace detail

template <class T>
concept Bounded = T::max_json_size != unbounded;

// Writes one value of T to `out`. Into the JsonWriter, a bounded value reserves its room and
// goes through a cursor, with the reader copied to a local as well (output bytes may alias
// anything, so members would be reloaded after every byte written).
template <class T, class Out>
Failure emit(Reader& reader, Out& out) {
    if constexpr (std::is_same_v<Out, JsonWriter> && Bounded<T>) {
        out.reserve(T::max_json_size);
        Reader local = reader;
        TextCursor cursor(out.cursor(), T::max_json_size);
        const Failure failure = T::write(local, cursor);
        reader.resume_from(local);
        out.set_cursor(cursor.at);
        return failure;
    } else {
        return T::write(reader, out);
    }
}

// The entry point of every schema type.
template <class Self>
struct Transcodes {
    static Failure transcode(Reader& reader, JsonWriter& writer) { return emit<Self>(reader, writer); }
};

// ---- Primitives -------------------------------------------------------------------------------

inline char* format_bool(char* out, bool value) {
    std::memcpy(out, value ? "true" : "fals", 4);
    if (value) return out + 4;
    out[4] = 'e';
    return out + 5;
}

// A scalar: one reader call, then its text formatted in place.
template <class Value, std::size_t MinWireSize, Failure (Reader::*read)(Value&), auto format>
struct Scalar : Transcodes<Scalar<Value, MinWireSize, read, format>> {
    static constexpr std::size_t min_wire_size = MinWireSize;
    static constexpr std::size_t max_json_size = max_number_chars;

    template <class Out>
    static Failure write(Reader& reader, Out& out) {
        Value value;
        if (auto failure = (reader.*read)(value)) return failure;
        out.put_formatted(value, format);
        return {};
    }

    // Non-finite floats are written as null.
    static void describe(std::string& out) {
        if constexpr (std::is_same_v<Value, bool>) {
            out += "{\"type\":\"boolean\"}";
        } else if constexpr (std::is_floating_point_v<Value>) {
            out += "{\"type\":[\"number\",\"null\"]}";
        } else {
            detail::describe_integer<Value>(out);
        }
    }
};

using U8 = Scalar<std::uint8_t, 1, &Reader::read_u8, &format_u64>;
using Bool = Scalar<bool, 1, &Reader::read_bool, &format_bool>;
using U16 = Scalar<std::uint16_t, 1, &Reader::read_varint<std::uint16_t>, &format_u16>;
using U32 = Scalar<std::uint32_t, 1, &Reader::read_varint<std::uint32_t>, &format_u64>;
using U64 = Scalar<std::uint64_t, 1, &Reader::read_varint<std::uint64_t>, &format_u64>;
using I16 = Scalar<std::int16_t, 1, &Reader::read_zigzag<std::int16_t>, &format_i16>;
using I32 = Scalar<std::int32_t, 1, &Reader::read_zigzag<std::int32_t>, &format_i64>;
using I64 = Scalar<std::int64_t, 1, &Reader::read_zigzag<std::int64_t>, &format_i64>;
using F32 = Scalar<float, 4, &Reader::read_float<float>, &format_f32>;
using F64 = Scalar<double, 8, &Reader::read_float<double>, &format_f64>;

// ---- Options ----------------------------------------------------------------------------------

template <Schema T>
struct Option : Transcodes<Option<T>> {
    static constexpr std::size_t min_wire_size = 1;
    static constexpr std::size_t max_json_size = std::max(detail::null_text.size(), T::max_json_size);

    template <class Out>
    static Failure write(Reader& reader, Out& out) {
        bool present;
        if (auto failure = reader.read_option_tag(present)) return failure;
        if (!present) {
            out.put(detail::null_text);
            return {};
        }
        return emit<T>(reader, out);
    }

    static void describe(std::string& out) {
        out += "{\"anyOf\":[";
        T::describe(out);
        out += ",{\"type\":\"null\"}]}";
    }
};

// A tag and nothing else; written as null whichever tag was read.
struct OptionUnit : Transcodes<OptionUnit> {
    static constexpr std::size_t min_wire_size = 1;
    static constexpr std::size_t max_json_size = detail::null_text.size();

    template <class Out>
    static Failure write(Reader& reader, Out& out) {
        bool present;
        if (auto failure = reader.read_option_tag(present)) return failure;
        out.put(detail::null_text);
        return {};
    }

    static void describe(std::string& out) { out += "{\"type\":\"null\"}"; }
};

// ---- Sequences --------------------------------------------------------------------------------

// Elements that take no bytes would let a hostile count spin for 2^64 rounds; every element
// type must consume input, so a loop ends with the input at the latest.
template <class T>
concept ConsumesInput = Schema<T> && T::min_wire_size >= 1;

// A count, then that many elements; with Capacity set, the element after the last allowed one
// is still read first (its own error wins) and only then refused.
template <ConsumesInput T, std::uint64_t Capacity = UINT64_MAX>
struct BasicList : Transcodes<BasicList<T, Capacity>> {
    static constexpr std::size_t min_wire_size = 1;
    static constexpr std::size_t max_json_size = unbounded;

    static Failure write(Reader& reader, JsonWriter& writer) {
        std::uint64_t count;
        if (auto failure = reader.read_varint(count)) return failure;
        writer.put('[');
        if (auto failure = write_elements(reader, writer, count)) return failure;
        writer.put(']');
        return {};
    }

    static void describe(std::string& out) {
        out += "{\"type\":\"array\",\"items\":";
        T::describe(out);
        if constexpr (Capacity != UINT64_MAX) out += ",\"maxItems\":" + std::to_string(Capacity);
        out += '}';
    }

private:
    // Lists without a capacity never test for it, so that nothing of the check is left in their loops.
    static constexpr bool past_capacity(std::uint64_t index) {
        if constexpr (Capacity == UINT64_MAX) {
            return false;
        } else {
            return index == Capacity;
        }
    }

    // Bounded elements are written in runs, each into room reserved once for the whole run
    // (a few KiB at most, whatever the count says).
    static Failure write_elements(Reader& reader, JsonWriter& writer, std::uint64_t count)
        requires Bounded<T>
    {
        constexpr std::size_t element_room = T::max_json_size + 1;
        constexpr std::uint64_t run_length = std::max<std::size_t>(1, 4096 / element_room);
        for (std::uint64_t index = 0; index < count;) {
            const std::uint64_t run_end = index + std::min(run_length, count - index);
            const auto run_room = static_cast<std::size_t>(run_end - index) * element_room;
            writer.reserve(run_room);
            Reader local = reader;
            TextCursor cursor(writer.cursor(), run_room);
            Failure failure;
            for (; index < run_end; ++index) {
                if (index != 0) cursor.put(',');
                const std::uint8_t* const element_start = local.mark();
                failure = T::write(local, cursor);
                if (failure) break;
                if (past_capacity(index)) {
                    local.rewind(element_start);
                    failure = WireError::SerdeDeCustom;
                    break;
                }
            }
            reader.resume_from(local);
            writer.set_cursor(cursor.at);
            if (failure) {
                reader.note_failed_index(index);
                return failure;
            }
        }
        return {};
    }

    static Failure write_elements(Reader& reader, JsonWriter& writer, std::uint64_t count) {
        for (std::uint64_t index = 0; index < count; ++index) {
            if (index != 0) writer.put(',');
            const std::uint8_t* const element_start = reader.mark();
            Failure failure = emit<T>(reader, writer);
            if (!failure && past_capacity(index)) {
                reader.rewind(element_start);
                failure = WireError::SerdeDeCustom;
            }
            if (failure) {
                reader.note_failed_index(index);
                return failure;
            }
        }
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
struct Array : Transcodes<Array<T, Count>> {
    static constexpr std::size_t min_wire_size = T::min_wire_size * Count;
    static constexpr std::size_t max_json_size = Bounded<T> ? 1 + Count * (T::max_json_size + 1) : unbounded;

    template <class Out>
    static Failure write(Reader& reader, Out& out) {
        out.put('[');
        for (std::size_t index = 0; index < Count; ++index) {
            if (index != 0) out.put(',');
            if (auto failure = emit<T>(reader, out)) {
                reader.note_failed_index(index);
                return failure;
            }
        }
        out.put(']');
        return {};
    }

    static void describe(std::string& out) {
        out += "{\"type\":\"array\",\"items\":";
        T::describe(out);
        out += ",\"minItems\":" + std::to_string(Count) + ",\"maxItems\":" + std::to_string(Count) + '}';
    }
};

// ---- Records ----------------------------------------------------------------------------------

// What a row of a family's table holds in the versions it does not cover (see FormAt).
struct NoForm {};

template <FixedString Key, class T>
    requires Schema<T> || std::is_same_v<T, NoForm>
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

template <std::size_t Index>
inline constexpr char field_lead = Index == 0 ? '{' : ',';

}  // namespace detail

template <class... Fields>
    requires(sizeof...(Fields) >= 1 && (detail::IsField<Fields>::value && ...))
struct Record : Transcodes<Record<Fields...>> {
    static constexpr std::size_t min_wire_size = (Fields::Type::min_wire_size + ...);
    static constexpr std::size_t max_json_size =
        detail::bounded_sum({1, (detail::key_token<',', Fields::key>.size() + ...), Fields::Type::max_json_size...});

    template <class Out>
    static Failure write(Reader& reader, Out& out) {
        if (auto failure = write_fields(reader, out, std::index_sequence_for<Fields...>{})) return failure;
        out.put('}');
        return {};
    }

    // Every key is always written, so every key is required, and no other may appear.
    static void describe(std::string& out) {
        out += "{\"type\":\"object\",\"properties\":{";
        bool first = true;
        ((out += first ? "" : ",", first = false, detail::append_quoted(out, Fields::key.view()), out += ':',
          Fields::Type::describe(out)),
         ...);
        out += "},\"required\":[";
        first = true;
        ((out += first ? "" : ",", first = false, detail::append_quoted(out, Fields::key.view())), ...);
        out += "],\"additionalProperties\":false}";
    }

private:
    template <class Out, std::size_t... Index>
    static Failure write_fields(Reader& reader, Out& out, std::index_sequence<Index...>) {
        Failure failure;
        (void)((out.put(detail::key_token<detail::field_lead<Index>, Fields::key>),
                field_succeeded<Fields>(reader, out, failure)) &&
               ...);
        return failure;
    }

    template <class F, class Out>
    static bool field_succeeded(Reader& reader, Out& out, Failure& failure) {
        failure = emit<typename F::Type>(reader, out);
        if (failure) reader.note_failed_name(F::key.view());
        return !failure;
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

// A family's history as one table: `Row<V, 4, Field<...>>` is the field in version 4 and every
// later one, `Row<V, 4, Field<...>, 10>` in versions 4 to 10; `RecordOf<Row<V, ...>...>` is then
// the record of version V.
template <std::uint64_t Version, std::uint64_t From, class F, std::uint64_t Until = UINT64_MAX>
using Row = FieldIf<(Version >= From && Version <= Until), F>;

// The form a row takes in Version: `FormAt<V, Since<4, A>, Since<8, B>>` is A in versions 4 to 7
// and B from version 8 on. Before the first form there is none, and a record that kept the row
// there would not compile.
template <std::uint64_t From, Schema T>
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

// ---- Enums ------------------------------------------------------------------------------------

// A variant without content, written as its name: "Off".
template <FixedString Name>
struct Unit {
    static constexpr std::size_t max_json_size = quoted<Name>.size();
    static constexpr bool has_content = false;
    static constexpr auto name = Name;

    template <class Out>
    static Failure write(Reader&, Out& out) {
        out.put(quoted<Name>);
        return {};
    }
};

// A variant holding one value, written as {"On":5}; a variant with named fields holds a Record
// and is written as {"Ahrs":{...}}.
template <FixedString Name, Schema T>
struct Newtype {
    static constexpr std::size_t max_json_size =
        detail::bounded_sum({detail::key_token<'{', Name>.size(), T::max_json_size, 1});
    static constexpr bool has_content = true;
    static constexpr auto name = Name;

    // {"On":5} is an object of exactly that one key.
    static void describe(std::string& out) {
        out += "{\"type\":\"object\",\"properties\":{";
        detail::append_quoted(out, Name.view());
        out += ':';
        T::describe(out);
        out += "},\"required\":[";
        detail::append_quoted(out, Name.view());
        out += "],\"additionalProperties\":false}";
    }

    template <class Out>
    static Failure write(Reader& reader, Out& out) {
        out.put(detail::key_token<'{', Name>);
        if (auto failure = emit<T>(reader, out)) {
            reader.note_failed_name(Name.view());
            return failure;
        }
        out.put('}');
        return {};
    }
};

template <FixedString Name, class... Fields>
using StructVariant = Newtype<Name, Record<Fields...>>;

// A u32 discriminant numbering the variants from 0 in declaration order, then that variant.
template <class... Variants>
    requires(sizeof...(Variants) >= 1)
struct Enum : Transcodes<Enum<Variants...>> {
    static constexpr std::size_t min_wire_size = 1;
    static constexpr std::size_t variant_count = sizeof...(Variants);
    static constexpr std::size_t max_json_size = std::max({Variants::max_json_size...});

    template <class Out>
    static Failure write(Reader& reader, Out& out) {
        static constexpr std::array<Failure (*)(Reader&, Out&), variant_count> variants{&emit<Variants, Out>...};
        const std::uint8_t* const start = reader.mark();
        std::uint32_t discriminant;
        if (auto failure = reader.read_varint(discriminant)) return failure;
        if (discriminant >= variant_count) {
            reader.rewind(start);
            return WireError::SerdeDeCustom;
        }
        return variants[discriminant](reader, out);
    }

    // The unit variants are one string enum; each variant with content is an object of its own.
    static void describe(std::string& out) {
        constexpr std::size_t units = ((Variants::has_content ? 0 : 1) + ...);
        constexpr std::size_t alternatives = (units != 0 ? 1 : 0) + (variant_count - units);
        if constexpr (alternatives > 1) out += "{\"oneOf\":[";
        if constexpr (units != 0) {
            out += "{\"type\":\"string\",\"enum\":[";
            bool first = true;
            ((Variants::has_content
                  ? void()
                  : (out += first ? "" : ",", first = false, detail::append_quoted(out, Variants::name.view()))),
             ...);
            out += "]}";
        }
        bool first = units == 0;
        ((Variants::has_content ? (out += first ? "" : ",", first = false, describe_variant<Variants>(out)) : void()),
         ...);
        if constexpr (alternatives > 1) out += "]}";
    }

private:
    template <class Variant>
    static void describe_variant(std::string& out) {
        if constexpr (Variant::has_content) Variant::describe(out);
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
using codec::FormAt;
using codec::I16;
using codec::I32;
using codec::I64;
using codec::List;
using codec::Newtype;
using codec::Option;
using codec::OptionUnit;
using codec::Record;
using codec::RecordOf;
using codec::Row;
using codec::Schema;
using codec::Since;
using codec::StructVariant;
using codec::U16;
using codec::U32;
using codec::U64;
using codec::U8;
using codec::Unit;
}  // namespace schema_types

}  // namespace velunda::codec
