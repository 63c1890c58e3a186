#pragma once

// The JSON Schema walker over the wire descriptions: `JsonSchemaOf<T>::describe` appends the
// JSON Schema (draft 2020-12) of the JSON that the JSON walker writes for a value of T. Names and
// keys are plain identifiers, so they are quoted as they stand.

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>

#include "codec/descriptions.hpp"

namespace velunda::json {

template <class T>
struct JsonSchemaOf;

using Describer = void (*)(std::string&);

namespace detail {

inline void append_quoted(std::string& out, std::string_view text) {
    out += '"';
    out += text;
    out += '"';
}

// {"type":"object","properties":{"a":...,"b":...},"required":["a","b"],"additionalProperties":false}:
// every key is always written, so every key is required, and no other may appear.
template <class... Properties>
void describe_object(std::string& out) {
    out += "{\"type\":\"object\",\"properties\":{";
    bool first = true;
    ((out += first ? "" : ",", first = false, append_quoted(out, Properties::key.view()), out += ':',
      JsonSchemaOf<typename Properties::Type>::describe(out)),
     ...);
    out += "},\"required\":[";
    first = true;
    ((out += first ? "" : ",", first = false, append_quoted(out, Properties::key.view())), ...);
    out += "],\"additionalProperties\":false}";
}

}  // namespace detail

template <class Value, std::size_t MinWireSize, codec::Failure (codec::Reader::*Read)(Value&)>
struct JsonSchemaOf<codec::Scalar<Value, MinWireSize, Read>> {
    // Non-finite floats are written as null.
    static void describe(std::string& out) {
        if constexpr (std::is_same_v<Value, bool>) {
            out += "{\"type\":\"boolean\"}";
        } else if constexpr (std::is_floating_point_v<Value>) {
            out += "{\"type\":[\"number\",\"null\"]}";
        } else {
            out += "{\"type\":\"integer\",\"minimum\":";
            out += std::to_string(std::numeric_limits<Value>::min());
            out += ",\"maximum\":";
            out += std::to_string(std::numeric_limits<Value>::max());
            out += '}';
        }
    }
};

template <class T>
struct JsonSchemaOf<codec::Option<T>> {
    static void describe(std::string& out) {
        out += "{\"anyOf\":[";
        JsonSchemaOf<T>::describe(out);
        out += ",{\"type\":\"null\"}]}";
    }
};

template <>
struct JsonSchemaOf<codec::OptionUnit> {
    static void describe(std::string& out) { out += "{\"type\":\"null\"}"; }
};

template <class T, std::uint64_t Capacity>
struct JsonSchemaOf<codec::BasicList<T, Capacity>> {
    static void describe(std::string& out) {
        out += "{\"type\":\"array\",\"items\":";
        JsonSchemaOf<T>::describe(out);
        if constexpr (codec::BasicList<T, Capacity>::has_capacity) out += ",\"maxItems\":" + std::to_string(Capacity);
        out += '}';
    }
};

template <class T, std::size_t Count>
struct JsonSchemaOf<codec::Array<T, Count>> {
    static void describe(std::string& out) {
        out += "{\"type\":\"array\",\"items\":";
        JsonSchemaOf<T>::describe(out);
        out += ",\"minItems\":" + std::to_string(Count) + ",\"maxItems\":" + std::to_string(Count) + '}';
    }
};

template <class... Fields>
struct JsonSchemaOf<codec::Record<Fields...>> {
    static void describe(std::string& out) { detail::describe_object<Fields...>(out); }
};

// {"On":5} is an object of exactly that one key.
template <codec::FixedString Name, class T>
struct JsonSchemaOf<codec::Newtype<Name, T>> {
    static void describe(std::string& out) { detail::describe_object<codec::Field<Name, T>>(out); }
};

// The unit variants are one string enum; each variant with content is an object of its own.
template <class... Variants>
struct JsonSchemaOf<codec::Enum<Variants...>> {
    static void describe(std::string& out) {
        constexpr std::size_t units = ((Variants::has_content ? 0 : 1) + ...);
        constexpr std::size_t alternatives = (units != 0 ? 1 : 0) + (sizeof...(Variants) - units);
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
        if constexpr (Variant::has_content) JsonSchemaOf<Variant>::describe(out);
    }
};

}  // namespace velunda::json
