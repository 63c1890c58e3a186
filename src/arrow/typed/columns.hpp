#pragma once

// The typed-column walker over the wire descriptions: `ArrowColumns<T>` reads one value of T from
// the Reader and appends it to Arrow column builders, one per leaf (integers of their wire width,
// floats, booleans and validity as bits, list offsets, variant tags as dictionary indices). The
// builders grow only with the values read. A row that fails is cut back to its mark, so nothing
// of it stays in any child. The row holds exactly what the JSON holds: where the JSON writes
// null (an absent option, an optional unit, a non-finite float) the value is null.
//
// Every builder can append a null (`null`) and a filler (`fill`: a valid zero, an empty list),
// which is what the children of a null struct or list hold: Arrow reads nothing below a null,
// and fillers keep the children's validity bitmaps unmade.

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "arrow/typed/growing.hpp"
#include "codec/descriptions.hpp"

namespace velunda::arrow::typed {

using codec::Failure;
using codec::Reader;

template <class T>
struct ArrowColumns;

namespace detail {

template <class Value>
constexpr const char* format_of() {
    if constexpr (std::is_same_v<Value, bool>)
        return "b";
    else if constexpr (std::is_same_v<Value, std::uint8_t>)
        return "C";
    else if constexpr (std::is_same_v<Value, std::uint16_t>)
        return "S";
    else if constexpr (std::is_same_v<Value, std::uint32_t>)
        return "I";
    else if constexpr (std::is_same_v<Value, std::uint64_t>)
        return "L";
    else if constexpr (std::is_same_v<Value, std::int16_t>)
        return "s";
    else if constexpr (std::is_same_v<Value, std::int32_t>)
        return "i";
    else if constexpr (std::is_same_v<Value, std::int64_t>)
        return "l";
    else if constexpr (std::is_same_v<Value, float>)
        return "f";
    else
        return "g";
}

inline Column node(const char* format, std::string name, std::size_t length, Validity& validity) {
    Column column;
    column.format = format;
    column.name = std::move(name);
    column.length = static_cast<std::int64_t>(length);
    column.null_count = static_cast<std::int64_t>(validity.zeros());
    column.buffers.push_back(validity.release_validity());
    return column;
}

// List offsets are int32: a batch whose list outgrows them cannot be exported.
inline std::int32_t list_offset(std::size_t size) {
    if (size > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        throw std::overflow_error("a list column of one batch exceeds 2^31 elements");
    }
    return static_cast<std::int32_t>(size);
}

// The names of an enum's variants as a utf8 column: the dictionary every batch shares.
template <class... Variants>
std::shared_ptr<const Column> variant_names() {
    static const std::shared_ptr<const Column> names = [] {
        Values<std::int32_t> offsets;
        Values<char> text;
        offsets.push(0);
        ((text.append(Variants::name.view().data(), Variants::name.view().size()),
          offsets.push(static_cast<std::int32_t>(text.size()))),
         ...);
        auto column = std::make_shared<Column>();
        column->format = "u";
        column->length = sizeof...(Variants);
        column->buffers.emplace_back();
        column->buffers.push_back(offsets.release());
        column->buffers.push_back(text.release());
        return column;
    }();
    return names;
}

}  // namespace detail

// ---- Scalars and options -----------------------------------------------------------------------

template <class Value, std::size_t MinWireSize, Failure (Reader::*Read)(Value&)>
struct ArrowColumns<codec::Scalar<Value, MinWireSize, Read>> {
    using Stored = std::conditional_t<std::is_same_v<Value, bool>, Bits, Values<Value>>;
    struct Mark {
        Validity::Mark validity;
        std::conditional_t<std::is_same_v<Value, bool>, Bits::Mark, std::size_t> values;
    };

    Validity validity;
    Stored values;
    std::size_t length = 0;

    Failure read(Reader& reader) {
        Value value;
        if (auto failure = (reader.*Read)(value)) return failure;
        if constexpr (std::is_floating_point_v<Value>) {
            if (!std::isfinite(value)) {
                null();
                return {};
            }
        }
        validity.push(true);
        values.push(value);
        ++length;
        return {};
    }
    void null() {
        validity.push(false);
        values.push(Value{});
        ++length;
    }
    void fill() {
        validity.push(true);
        values.push(Value{});
        ++length;
    }
    Mark mark() const {
        if constexpr (std::is_same_v<Value, bool>)
            return {validity.mark(), values.mark()};
        else
            return {validity.mark(), values.size()};
    }
    void rollback(const Mark& mark) {
        validity.rollback(mark.validity);
        if constexpr (std::is_same_v<Value, bool>)
            values.rollback(mark.values);
        else
            values.truncate(mark.values);
        length = mark.validity.count;
    }
    Column finish(std::string name) {
        Column column = detail::node(detail::format_of<Value>(), std::move(name), length, validity);
        column.buffers.push_back(values.release());
        return column;
    }
};

// The value's own column, null where the value is absent.
template <class T>
struct ArrowColumns<codec::Option<T>> : ArrowColumns<T> {
    Failure read(Reader& reader) {
        bool present;
        if (auto failure = reader.read_option_tag(present)) return failure;
        if (!present) {
            this->null();
            return {};
        }
        return ArrowColumns<T>::read(reader);
    }
};

// Arrow's null type: no buffers, every value null.
template <>
struct ArrowColumns<codec::OptionUnit> {
    using Mark = std::size_t;
    std::size_t length = 0;

    Failure read(Reader& reader) {
        bool present;
        if (auto failure = reader.read_option_tag(present)) return failure;
        ++length;
        return {};
    }
    void null() { ++length; }
    void fill() { ++length; }
    Mark mark() const { return length; }
    void rollback(Mark mark) { length = mark; }
    Column finish(std::string name) {
        Column column;
        column.format = "n";
        column.name = std::move(name);
        column.length = column.null_count = static_cast<std::int64_t>(length);
        return column;
    }
};

// ---- Sequences ---------------------------------------------------------------------------------

template <class T, std::uint64_t Capacity>
struct ArrowColumns<codec::BasicList<T, Capacity>> {
    using List = codec::BasicList<T, Capacity>;
    struct Mark {
        Validity::Mark validity;
        std::size_t offsets;
        typename ArrowColumns<T>::Mark elements;
    };

    Validity validity;
    Values<std::int32_t> offsets;
    ArrowColumns<T> elements;
    std::size_t element_count = 0;
    std::size_t length = 0;

    Failure read(Reader& reader) {
        if (offsets.size() == 0) offsets.push(0);
        std::uint64_t count;
        if (auto failure = List::read_count(reader, count)) return failure;
        // The count sizes nothing: elements are appended as they are read, and each takes a byte.
        for (std::uint64_t index = 0; index < count; ++index) {
            const std::uint8_t* const element_start = reader.mark();
            Failure failure = elements.read(reader);
            if (!failure) failure = List::refuse_past_capacity(reader, index, element_start);
            if (failure) return failure;
            ++element_count;
        }
        validity.push(true);
        offsets.push(detail::list_offset(element_count));
        ++length;
        return {};
    }
    void null() { empty(false); }
    void fill() { empty(true); }
    void empty(bool valid) {
        if (offsets.size() == 0) offsets.push(0);
        validity.push(valid);
        offsets.push(detail::list_offset(element_count));
        ++length;
    }
    Mark mark() const { return {validity.mark(), offsets.size(), elements.mark()}; }
    void rollback(const Mark& mark) {
        validity.rollback(mark.validity);
        offsets.truncate(mark.offsets);
        elements.rollback(mark.elements);
        element_count = mark.offsets == 0 ? 0 : static_cast<std::size_t>(offsets.data()[mark.offsets - 1]);
        length = mark.validity.count;
    }
    Column finish(std::string name) {
        if (offsets.size() == 0) offsets.push(0);
        Column column = detail::node("+l", std::move(name), length, validity);
        column.buffers.push_back(offsets.release());
        column.children.push_back(elements.finish("item"));
        return column;
    }
};

namespace detail {

template <class T, std::size_t Count>
struct ArrayColumns {
    struct Mark {
        Validity::Mark validity;
        typename ArrowColumns<T>::Mark elements;
    };

    Validity validity;
    ArrowColumns<T> elements;
    std::size_t length = 0;

    Failure read(Reader& reader) {
        for (std::size_t index = 0; index < Count; ++index) {
            if (auto failure = elements.read(reader)) return failure;
        }
        validity.push(true);
        ++length;
        return {};
    }
    void null() { placeholder(false); }
    void fill() { placeholder(true); }
    void placeholder(bool valid) {
        for (std::size_t index = 0; index < Count; ++index) elements.fill();
        validity.push(valid);
        ++length;
    }
    Mark mark() const { return {validity.mark(), elements.mark()}; }
    void rollback(const Mark& mark) {
        validity.rollback(mark.validity);
        elements.rollback(mark.elements);
        length = mark.validity.count;
    }
    Column finish(std::string name) {
        Column column = detail::node("+w:", std::move(name), length, validity);
        column.format += std::to_string(Count);
        column.children.push_back(elements.finish("item"));
        return column;
    }
};

// Short arrays of 16-bit integers (a current profile's velocities) read from one 8-byte load
// where their varints allow, as the JSON walker reads them; the element-by-element read is the
// reference for anything else.
template <class Scalar, std::size_t Count>
struct ShortArrayColumns : ArrayColumns<Scalar, Count> {
    using Value = typename Scalar::value_type;
    Failure read(Reader& reader) {
        std::uint16_t raw[Count];
        if (!reader.read_short_varints(raw)) return ArrayColumns<Scalar, Count>::read(reader);
        auto& elements = this->elements;
        Value* const values = elements.values.extend(Count);
        for (std::size_t index = 0; index < Count; ++index) {
            if constexpr (std::is_signed_v<Value>)
                values[index] = codec::unzigzag<Value>(raw[index]);
            else
                values[index] = raw[index];
        }
        elements.validity.push_valid(Count);
        elements.length += Count;
        this->validity.push(true);
        ++this->length;
        return {};
    }
};

// Arrays of bytes are their bytes: copied at once when the input holds them all.
template <std::size_t Count>
struct ByteArrayColumns : ArrayColumns<codec::U8, Count> {
    Failure read(Reader& reader) {
        if (reader.remaining() < Count) return ArrayColumns<codec::U8, Count>::read(reader);
        auto& elements = this->elements;
        elements.values.append(reader.mark(), Count);
        reader.rewind(reader.mark() + Count);
        elements.validity.push_valid(Count);
        elements.length += Count;
        this->validity.push(true);
        ++this->length;
        return {};
    }
};

}  // namespace detail

template <class T, std::size_t Count>
struct ArrowColumns<codec::Array<T, Count>> : detail::ArrayColumns<T, Count> {};

template <std::size_t Count>
struct ArrowColumns<codec::Array<codec::U8, Count>> : detail::ByteArrayColumns<Count> {};

template <std::size_t Count>
    requires(Count <= 4)
struct ArrowColumns<codec::Array<codec::I16, Count>> : detail::ShortArrayColumns<codec::I16, Count> {};

template <std::size_t Count>
    requires(Count <= 4)
struct ArrowColumns<codec::Array<codec::U16, Count>> : detail::ShortArrayColumns<codec::U16, Count> {};

// ---- Records -----------------------------------------------------------------------------------

template <class... Fields>
struct ArrowColumns<codec::Record<Fields...>> {
    struct Mark {
        Validity::Mark validity;
        std::tuple<typename ArrowColumns<typename Fields::Type>::Mark...> fields;
    };

    Validity validity;
    std::tuple<ArrowColumns<typename Fields::Type>...> fields;
    std::size_t length = 0;

    Failure read(Reader& reader) {
        if (auto failure = read_fields(reader)) return failure;
        validity.push(true);
        ++length;
        return {};
    }
    // The fields alone, in wire order: the top-level record is the batch's columns.
    Failure read_fields(Reader& reader) {
        Failure failure;
        std::apply([&](auto&... field) { (void)((!(failure = field.read(reader))) && ...); }, fields);
        return failure;
    }
    void null_fields() {
        std::apply([](auto&... field) { (field.null(), ...); }, fields);
    }
    void null() { placeholder(false); }
    void fill() { placeholder(true); }
    void placeholder(bool valid) {
        std::apply([](auto&... field) { (field.fill(), ...); }, fields);
        validity.push(valid);
        ++length;
    }
    Mark mark() const {
        return {validity.mark(), std::apply([](const auto&... field) { return std::tuple{field.mark()...}; }, fields)};
    }
    void rollback(const Mark& mark) {
        validity.rollback(mark.validity);
        rollback_fields(mark, std::index_sequence_for<Fields...>{});
        length = mark.validity.count;
    }
    std::vector<Column> finish_fields() { return finish_fields(std::index_sequence_for<Fields...>{}); }
    Column finish(std::string name) {
        Column column = detail::node("+s", std::move(name), length, validity);
        column.children = finish_fields();
        return column;
    }

private:
    template <std::size_t... Index>
    void rollback_fields(const Mark& mark, std::index_sequence<Index...>) {
        (std::get<Index>(fields).rollback(std::get<Index>(mark.fields)), ...);
    }
    template <std::size_t... Index>
    std::vector<Column> finish_fields(std::index_sequence<Index...>) {
        std::vector<Column> columns;
        (columns.push_back(std::get<Index>(fields).finish(std::string(Fields::key.view()))), ...);
        return columns;
    }
};

// ---- Enums -------------------------------------------------------------------------------------

// The variant read, as an index into the names of every variant in declaration order.
template <class... Variants>
struct VariantColumn {
    using Mark = std::pair<Validity::Mark, std::size_t>;
    Validity validity;
    Values<std::int8_t> indices;

    void push(std::uint32_t discriminant) {
        validity.push(true);
        indices.push(static_cast<std::int8_t>(discriminant));
    }
    void null() {
        validity.push(false);
        indices.push(0);
    }
    void fill() {
        validity.push(true);
        indices.push(0);
    }
    Mark mark() const { return {validity.mark(), indices.size()}; }
    void rollback(const Mark& mark) {
        validity.rollback(mark.first);
        indices.truncate(mark.second);
    }
    Column finish(std::string name) {
        Column column = detail::node("c", std::move(name), indices.size(), validity);
        column.buffers.push_back(indices.release());
        column.dictionary = detail::variant_names<Variants...>();
        return column;
    }
};

// Only variants with content have columns; the others hold an empty placeholder.
struct NoContent {
    using Mark = char;
    Failure read(Reader&) { return {}; }
    void null() {}
    void fill() {}
    Mark mark() const { return 0; }
    void rollback(Mark) {}
};

template <class Variant, bool = Variant::has_content>
struct ContentOf {
    using type = NoContent;
};
template <class Variant>
struct ContentOf<Variant, true> {
    using type = ArrowColumns<typename Variant::Content>;
};

template <class... Variants>
    requires(sizeof...(Variants) <= 127)
struct ArrowColumns<codec::Enum<Variants...>> {
    using Enum = codec::Enum<Variants...>;
    static constexpr bool has_content = (Variants::has_content || ...);
    template <class Variant>
    using Content = typename ContentOf<Variant>::type;
    struct Mark {
        Validity::Mark validity;
        typename VariantColumn<Variants...>::Mark variant;
        std::tuple<typename Content<Variants>::Mark...> contents;
    };

    Validity validity;
    VariantColumn<Variants...> variant;
    std::tuple<Content<Variants>...> contents;
    std::size_t length = 0;

    Failure read(Reader& reader) {
        std::uint32_t discriminant;
        if (auto failure = Enum::read_discriminant(reader, discriminant)) return failure;
        variant.push(discriminant);
        Failure failure;
        read_content(reader, discriminant, failure, std::index_sequence_for<Variants...>{});
        if (failure) return failure;
        validity.push(true);
        ++length;
        return {};
    }
    // Units only: the variant column is the enum's own. With content: the struct's children fill.
    void null() {
        if constexpr (has_content) {
            variant.fill();
            std::apply([](auto&... content) { (content.fill(), ...); }, contents);
        } else {
            variant.null();
        }
        validity.push(false);
        ++length;
    }
    void fill() {
        variant.fill();
        std::apply([](auto&... content) { (content.fill(), ...); }, contents);
        validity.push(true);
        ++length;
    }
    Mark mark() const {
        return {validity.mark(), variant.mark(),
                std::apply([](const auto&... content) { return std::tuple{content.mark()...}; }, contents)};
    }
    void rollback(const Mark& mark) {
        validity.rollback(mark.validity);
        variant.rollback(mark.variant);
        rollback_contents(mark, std::index_sequence_for<Variants...>{});
        length = mark.validity.count;
    }
    // Units only: the dictionary column itself; with content: struct<variant, one per content>.
    Column finish(std::string name) {
        if constexpr (!has_content) {
            return variant.finish(std::move(name));
        } else {
            Column column = detail::node("+s", std::move(name), length, validity);
            column.children.push_back(variant.finish("variant"));
            finish_contents(column.children, std::index_sequence_for<Variants...>{});
            return column;
        }
    }

private:
    template <std::size_t... Index>
    void read_content(Reader& reader, std::uint32_t discriminant, Failure& failure, std::index_sequence<Index...>) {
        ((Index == discriminant ? void(failure = std::get<Index>(contents).read(reader))
                                : std::get<Index>(contents).null()),
         ...);
    }
    template <std::size_t... Index>
    void rollback_contents(const Mark& mark, std::index_sequence<Index...>) {
        (std::get<Index>(contents).rollback(std::get<Index>(mark.contents)), ...);
    }
    template <std::size_t... Index>
    void finish_contents(std::vector<Column>& children, std::index_sequence<Index...>) {
        ((Variants::has_content ? void(children.push_back(finish_content<Variants>(std::get<Index>(contents))))
                                : void()),
         ...);
    }
    template <class Variant, class Columns>
    static Column finish_content(Columns& columns) {
        if constexpr (Variant::has_content)
            return columns.finish(std::string(Variant::name.view()));
        else
            return {};
    }
};

}  // namespace velunda::arrow::typed
