#pragma once

// The JSON walker's lists and arrays: runs of bounded elements written into room reserved once,
// and the short arrays of a current profile read and written a whole array at a time.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "codec/descriptions.hpp"
#include "codec/number_format.hpp"
#include "json/transcode.hpp"

namespace velunda::json {

namespace detail {

// A float list's (a conductivity profile's) values are written eight at a time, up to the run's
// end or the input's; the element-by-element walk takes over from the index returned.
inline std::uint64_t write_f32_blocks(Reader& reader, TextCursor& cursor, std::uint64_t index, std::uint64_t end) {
    while (end - index >= codec::f32_block_size) {
        const std::uint8_t* const wire = reader.take(sizeof(float) * codec::f32_block_size);
        if (wire == nullptr) break;
        cursor.put_within(codec::f32_block_room,
                          [&](char* at) { return codec::format_f32_block(at, wire, index != 0); });
        index += codec::f32_block_size;
    }
    return index;
}

}  // namespace detail

template <class T, std::uint64_t Capacity>
struct JsonOut<codec::BasicList<T, Capacity>> {
    using List = codec::BasicList<T, Capacity>;
    static constexpr std::size_t max_size = unbounded;

    static Failure write(Reader& reader, JsonWriter& writer) {
        std::uint64_t count;
        if (auto failure = List::read_count(reader, count)) return failure;
        writer.put('[');
        if (auto failure = write_elements(reader, writer, count)) return failure;
        writer.put(']');
        return {};
    }

private:
    static constexpr bool in_blocks = std::is_same_v<T, codec::F32> && !List::has_capacity;

    // Bounded elements are written in runs, each into room reserved once for the whole run
    // (a few KiB at most, whatever the count says).
    static Failure write_elements(Reader& reader, JsonWriter& writer, std::uint64_t count)
        requires Bounded<T>
    {
        constexpr std::size_t element_room = JsonOut<T>::max_size + 1;
        constexpr std::uint64_t fitting = std::max<std::size_t>(1, 4096 / element_room);
        constexpr std::uint64_t run_length = in_blocks ? fitting - fitting % codec::f32_block_size : fitting;
        for (std::uint64_t index = 0; index < count;) {
            const std::uint64_t run_end = index + std::min(run_length, count - index);
            const auto run_room = static_cast<std::size_t>(run_end - index) * element_room;
            writer.reserve(run_room);
            Reader local = reader;
            TextCursor cursor(writer.cursor(), run_room);
            Failure failure;
            if constexpr (in_blocks) index = detail::write_f32_blocks(local, cursor, index, run_end);
            for (; index < run_end; ++index) {
                if (index != 0) cursor.put(',');
                const std::uint8_t* const element_start = local.mark();
                failure = JsonOut<T>::write(local, cursor);
                if (!failure) failure = List::refuse_past_capacity(local, index, element_start);
                if (failure) break;
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
            if (!failure) failure = List::refuse_past_capacity(reader, index, element_start);
            if (failure) {
                reader.note_failed_index(index);
                return failure;
            }
        }
        return {};
    }
};

namespace detail {

template <class T, std::size_t Count>
struct ArrayOut {
    static constexpr std::size_t max_size = Bounded<T> ? 1 + Count * (JsonOut<T>::max_size + 1) : unbounded;

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
};

// The values of an array already read, each written by `format`, between brackets.
template <class Out, class Value, std::size_t Count, class Format>
void put_array(Out& out, const Value (&values)[Count], Format format) {
    out.put('[');
    for (std::size_t index = 0; index < Count; ++index) {
        if (index != 0) out.put(',');
        out.put_formatted(values[index], format);
    }
    out.put(']');
}

// Short arrays of 16-bit integers (a current profile's velocities): most of their varints take
// one or two bytes, so the whole array is read from one 8-byte load and each value's text taken
// from the table of every such varint's; the general walk is the reference for anything else
// (longer varints, the input's end).
template <class Scalar, std::size_t Count, bool Zigzag>
struct ShortArrayOut {
    using General = ArrayOut<Scalar, Count>;
    static constexpr std::size_t max_size = General::max_size;

    template <class Out>
    static Failure write(Reader& reader, Out& out) {
        std::uint16_t raw[Count];
        if (!reader.read_short_varints(raw)) return General::write(reader, out);
        put_array(out, raw, [](char* at, std::uint16_t value) {
            VELUNDA_ASSERT(value < codec::detail::short_varint_texts<Zigzag>.size());
            const std::uint64_t text = codec::detail::short_varint_texts<Zigzag>[value];
            std::memcpy(at, &text, sizeof text);
            return at + (text >> 56);
        });
        return {};
    }
};

// Short arrays of bytes (a current profile's amplitudes and correlations): the whole array is
// taken at once and each value's text is one word of the three-digit table, stored without a
// branch on its length; the general walk reports an array the input cuts short.
template <std::size_t Count>
struct ByteArrayOut {
    using General = ArrayOut<codec::U8, Count>;
    static constexpr std::size_t max_size = General::max_size;

    template <class Out>
    static Failure write(Reader& reader, Out& out) {
        const std::uint8_t* const wire = reader.take(Count);
        if (wire == nullptr) return General::write(reader, out);
        // Loaded before any text is stored: the output may alias the input, for all the compiler
        // knows, so each byte would otherwise be loaded after the store before it.
        std::uint8_t bytes[Count];
        std::memcpy(bytes, wire, Count);
        put_array(out, bytes, [](char* at, std::uint8_t value) {
            const std::uint32_t text = codec::detail::short_texts[value];
            return codec::detail::put_word(at, text, text >> 24);
        });
        return {};
    }
};

}  // namespace detail

template <class T, std::size_t Count>
struct JsonOut<codec::Array<T, Count>> : detail::ArrayOut<T, Count> {};

template <std::size_t Count>
    requires(Count <= 4)
struct JsonOut<codec::Array<codec::I16, Count>> : detail::ShortArrayOut<codec::I16, Count, true> {};

template <std::size_t Count>
    requires(Count <= 4)
struct JsonOut<codec::Array<codec::U16, Count>> : detail::ShortArrayOut<codec::U16, Count, false> {};

template <std::size_t Count>
    requires(Count <= 8)
struct JsonOut<codec::Array<codec::U8, Count>> : detail::ByteArrayOut<Count> {};

}  // namespace velunda::json
