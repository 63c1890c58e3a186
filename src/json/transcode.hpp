#pragma once

// The JSON walker over the wire descriptions: `JsonOut<T>` reads one value of T from the Reader
// and at once appends its JSON, so nothing is stored between read and write and no count read
// from the wire ever sizes an allocation: only the output grows, in step with the bytes
// consumed. On a failure each enclosing field, variant and element notes its step on the
// reader's FailurePath as the failure returns; the success path does no such work.
//
// Each JsonOut<T> also states `max_size`, the most bytes the JSON of one value can take
// (`unbounded` once a list is inside). A value of bounded size reserves its whole maximum once
// and is written through a TextCursor the compiler keeps in registers, which is what makes long
// lists of small elements fast; the JsonWriter itself checks for room at every token.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <type_traits>
#include <utility>

#include "codec/descriptions.hpp"
#include "json/json_writer.hpp"

namespace velunda::json {

using codec::Failure;
using codec::FixedString;
using codec::Reader;

template <class T>
struct JsonOut;

inline constexpr std::size_t unbounded = SIZE_MAX;

template <class T>
concept Bounded = JsonOut<T>::max_size != unbounded;

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

// `{"key":` for the first field, `,"key":` for the others.
template <char Lead, FixedString Key>
inline constexpr auto key_token = codec::concat(codec::chars<Lead>, codec::quoted<Key>, codec::chars<':'>);

template <std::size_t Index>
inline constexpr char field_lead = Index == 0 ? '{' : ',';

inline char* format_bool(char* out, bool value) {
    std::memcpy(out, value ? "true" : "fals", 4);
    if (value) return out + 4;
    out[4] = 'e';
    return out + 5;
}

// The number writer of each scalar's value type, as a type of its own so that every call is
// direct and inlined.
template <class Value>
struct NumberText {
    char* operator()(char* out, Value value) const {
        if constexpr (std::is_same_v<Value, bool>) {
            return format_bool(out, value);
        } else if constexpr (std::is_same_v<Value, std::uint16_t>) {
            return codec::format_u16(out, value);
        } else if constexpr (std::is_same_v<Value, std::int16_t>) {
            return codec::format_i16(out, value);
        } else if constexpr (std::is_same_v<Value, float>) {
            return codec::format_f32(out, value);
        } else if constexpr (std::is_same_v<Value, double>) {
            return codec::format_f64(out, value);
        } else if constexpr (std::is_unsigned_v<Value>) {
            return codec::format_u64(out, value);
        } else {
            return codec::format_i64(out, value);
        }
    }
};

}  // namespace detail

// Writes one value of T to `out`. Into the JsonWriter, a bounded value reserves its room and
// goes through a cursor, with the reader copied to a local as well (output bytes may alias
// anything, so members would be reloaded after every byte written).
template <class T, class Out>
Failure emit(Reader& reader, Out& out);

namespace detail {

// A bounded value has no loop of unknown length in it: its whole walk is inlined into one
// function, which the compiler would not do by itself once many layouts share the walkers.
template <class T>
[[gnu::flatten]] Failure emit_bounded(Reader& reader, JsonWriter& writer) {
    constexpr std::size_t room = JsonOut<T>::max_size;
    writer.reserve(room);
    Reader local = reader;
    TextCursor cursor(writer.cursor(), room);
    const Failure failure = JsonOut<T>::write(local, cursor);
    reader.resume_from(local);
    writer.set_cursor(cursor.at);
    return failure;
}

}  // namespace detail

template <class T, class Out>
Failure emit(Reader& reader, Out& out) {
    if constexpr (std::is_same_v<Out, JsonWriter> && Bounded<T>) {
        return detail::emit_bounded<T>(reader, out);
    } else {
        return JsonOut<T>::write(reader, out);
    }
}

// The entry point: the JSON of one value of T appended to `writer`.
template <class T>
Failure transcode(Reader& reader, JsonWriter& writer) {
    return emit<T>(reader, writer);
}

using Transcoder = Failure (*)(Reader&, JsonWriter&);

// ---- Scalars and options ----------------------------------------------------------------------

template <class Value, std::size_t MinWireSize, Failure (Reader::*Read)(Value&)>
struct JsonOut<codec::Scalar<Value, MinWireSize, Read>> {
    static constexpr std::size_t max_size = max_number_chars;

    template <class Out>
    static Failure write(Reader& reader, Out& out) {
        Value value;
        if (auto failure = (reader.*Read)(value)) return failure;
        out.put_formatted(value, detail::NumberText<Value>{});
        return {};
    }
};

template <class T>
struct JsonOut<codec::Option<T>> {
    static constexpr std::size_t max_size = std::max(detail::null_text.size(), JsonOut<T>::max_size);

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
};

// Written as null whichever tag was read.
template <>
struct JsonOut<codec::OptionUnit> {
    static constexpr std::size_t max_size = detail::null_text.size();

    template <class Out>
    static Failure write(Reader& reader, Out& out) {
        bool present;
        if (auto failure = reader.read_option_tag(present)) return failure;
        out.put(detail::null_text);
        return {};
    }
};

// ---- Records ----------------------------------------------------------------------------------

template <class... Fields>
struct JsonOut<codec::Record<Fields...>> {
    static constexpr std::size_t max_size = detail::bounded_sum(
        {1, (detail::key_token<',', Fields::key>.size() + ...), JsonOut<typename Fields::Type>::max_size...});

    template <class Out>
    static Failure write(Reader& reader, Out& out) {
        if (auto failure = write_fields(reader, out, std::index_sequence_for<Fields...>{})) return failure;
        out.put('}');
        return {};
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

// ---- Enums ------------------------------------------------------------------------------------

// A unit variant is its name: "Off".
template <FixedString Name>
struct JsonOut<codec::Unit<Name>> {
    static constexpr std::size_t max_size = codec::quoted<Name>.size();

    template <class Out>
    static Failure write(Reader&, Out& out) {
        out.put(codec::quoted<Name>);
        return {};
    }
};

// A variant with content is an object of one key: {"On":5}, {"Ahrs":{...}}.
template <FixedString Name, class T>
struct JsonOut<codec::Newtype<Name, T>> {
    static constexpr std::size_t max_size =
        detail::bounded_sum({detail::key_token<'{', Name>.size(), JsonOut<T>::max_size, 1});

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

template <class... Variants>
struct JsonOut<codec::Enum<Variants...>> {
    using Enum = codec::Enum<Variants...>;
    static constexpr std::size_t max_size = std::max({JsonOut<Variants>::max_size...});

    template <class Out>
    static Failure write(Reader& reader, Out& out) {
        static constexpr std::array<Failure (*)(Reader&, Out&), Enum::variant_count> variants{&emit<Variants, Out>...};
        std::uint32_t discriminant;
        if (auto failure = Enum::read_discriminant(reader, discriminant)) return failure;
        return variants[discriminant](reader, out);
    }
};

}  // namespace velunda::json

// Lists and arrays, in a file of their own.
#include "json/transcode_sequences.hpp"  // IWYU pragma: export
