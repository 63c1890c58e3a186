// libFuzzer target on the Arrow import. The input builds the C Data structures a producer would
// hand over: a schema and an array, or a stream of them with callbacks that may be missing or
// fail, with formats, counts, offsets, views, dictionary indices, buffer and child lists drawn
// from the bytes. Every buffer really holds what its array's length and offset imply, since a
// lie about a real buffer's size is beyond any consumer's reach; every other number may be
// anything. Checked on every input: nothing is read out of bounds (the sanitizers), every
// structure handed over is released exactly once, none the producer did not fill is released,
// and a column that opens decodes.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "arrow/column_import.hpp"
#include "batch/json_chunks.hpp"
#include <fuzzer/FuzzedDataProvider.h>

namespace {

using velunda::arrow::ImportedColumns;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

constexpr std::int64_t largest_small = 48;

// Everything the producer owns; a top-level structure's release marks it, and its children, done.
struct Producer {
    explicit Producer(FuzzedDataProvider& source) : in(source) {}
    FuzzedDataProvider& in;
    std::deque<std::vector<unsigned char>> bytes;
    std::deque<std::vector<const void*>> buffer_lists;
    std::deque<std::vector<ArrowArray*>> array_lists;
    std::deque<std::vector<ArrowSchema*>> schema_lists;
    std::deque<ArrowArray> arrays;
    std::deque<ArrowSchema> schemas;
    std::deque<std::string> formats;

    // A count that is small, or one no buffer could hold, negative, or at the edge of wrapping.
    std::int64_t count() {
        if (in.ConsumeProbability<float>() < 0.9f) return in.ConsumeIntegralInRange<std::int64_t>(0, largest_small);
        return beyond_reach();
    }
    std::int64_t beyond_reach() {
        static constexpr std::int64_t huge[] = {-1,        INT64_MIN, INT64_MAX, INT64_MAX - 1, (1LL << 47) + 1,
                                                1LL << 48, 1LL << 61, 1LL << 62};
        return huge[in.ConsumeIntegralInRange<std::size_t>(0, std::size(huge) - 1)];
    }
    static bool small(std::int64_t value) { return value >= 0 && value <= largest_small; }

    const void* buffer(std::size_t size) {
        if (in.ConsumeProbability<float>() < 0.05f) return nullptr;
        auto& held = bytes.emplace_back(in.ConsumeBytes<unsigned char>(size));
        held.resize(size + 1);  // never an empty vector: data() must be a real address
        return held.data();
    }

    template <class Offset>
    const void* offsets(std::size_t entries, std::int64_t& largest) {
        std::vector<Offset> values(entries);
        largest = 0;
        for (auto& value : values) {
            value = in.ConsumeProbability<float>() < 0.9f
                        ? static_cast<Offset>(in.ConsumeIntegralInRange<std::int64_t>(0, largest_small))
                        : static_cast<Offset>(count());
            if (value > largest && value <= largest_small) largest = value;  // larger ones are refused
        }
        auto& held = bytes.emplace_back(entries * sizeof(Offset) + 1);
        std::memcpy(held.data(), values.data(), entries * sizeof(Offset));
        return held.data();
    }

    const char* format() {
        static constexpr const char* known[] = {"u", "U", "vu", "+s", "c", "C", "s", "S",
                                                "i", "I", "l",  "L",  "z", "",  "n"};
        if (in.ConsumeProbability<float>() < 0.05f)
            return formats.emplace_back(in.ConsumeRandomLengthString(4)).c_str();
        return known[in.ConsumeIntegralInRange<std::size_t>(0, std::size(known) - 1)];
    }

    // Buffers sized for `rows` (offset plus length) of the given format.
    std::vector<const void*> buffers_for(std::string_view format, std::int64_t rows) {
        // Rows beyond 2 * largest_small come only from counts the import must refuse unread.
        const std::size_t n = rows >= 0 && rows <= 2 * largest_small ? static_cast<std::size_t>(rows) : 0;
        std::vector<const void*> list;
        list.push_back(in.ConsumeBool() ? buffer((n + 7) / 8) : nullptr);
        std::int64_t data_end = 0;
        if (format == "u") {
            list.push_back(offsets<std::int32_t>(n + 1, data_end));
            list.push_back(buffer(static_cast<std::size_t>(data_end)));
        } else if (format == "U") {
            list.push_back(offsets<std::int64_t>(n + 1, data_end));
            list.push_back(buffer(static_cast<std::size_t>(data_end)));
        } else if (format == "vu") {
            const std::size_t data_buffers = in.ConsumeIntegralInRange<std::size_t>(0, 3);
            list.push_back(buffer(n * 16));
            std::vector<std::int64_t> sizes;
            for (std::size_t i = 0; i < data_buffers; ++i) {
                const std::size_t size = in.ConsumeIntegralInRange<std::size_t>(0, 64);
                list.push_back(buffer(size));
                sizes.push_back(in.ConsumeProbability<float>() < 0.9f ? static_cast<std::int64_t>(size)
                                                                      : beyond_reach());
            }
            auto& held = bytes.emplace_back(sizes.size() * 8 + 1);
            if (!sizes.empty()) std::memcpy(held.data(), sizes.data(), sizes.size() * 8);
            list.push_back(held.data());
        } else if (format.size() == 1 && std::strchr("cCsSiIlL", format[0]) != nullptr) {
            const std::size_t width = std::strchr("cC", format[0])   ? 1
                                      : std::strchr("sS", format[0]) ? 2
                                      : std::strchr("iI", format[0]) ? 4
                                                                     : 8;
            list.push_back(buffer(n * width));
        }
        // Sometimes fewer buffers than the format has (never a claim of more than are listed). A
        // string_view's last buffer is always its sizes, so only one without data buffers can
        // visibly lose one.
        const bool can_lose_one = format != "vu" || list.size() == 3;
        if (can_lose_one && in.ConsumeProbability<float>() < 0.05f) list.pop_back();
        return list;
    }

    // A schema; depth bounds its children and dictionaries.
    void build_schema(ArrowSchema& schema, int depth) {
        schema = ArrowSchema{};
        schema.format = format();
        schema.name = "";
        if (depth < 2 && std::string_view(schema.format) == "+s") {
            auto& children = schema_lists.emplace_back(in.ConsumeIntegralInRange<std::size_t>(0, 2));
            for (auto& child : children) build_schema(*(child = &schemas.emplace_back()), depth + 1);
            schema.n_children = static_cast<std::int64_t>(children.size());
            schema.children = children.data();
        }
        if (depth < 2 && in.ConsumeProbability<float>() < 0.3f)
            build_schema(*(schema.dictionary = &schemas.emplace_back()), depth + 1);
    }

    // An array of the schema's type, its buffers as long as its length and offset say.
    void build_array(const ArrowSchema& schema, ArrowArray& array) {
        array = ArrowArray{};
        array.length = count();
        array.offset = in.ConsumeProbability<float>() < 0.8f ? 0 : count();
        array.null_count = in.ConsumeIntegralInRange<std::int64_t>(-2, 3);
        const std::int64_t rows = small(array.length) && small(array.offset) ? array.length + array.offset : -1;
        auto& list = buffer_lists.emplace_back(buffers_for(schema.format, rows));
        array.n_buffers =
            in.ConsumeProbability<float>() < 0.97f ? static_cast<std::int64_t>(list.size()) : beyond_reach();
        array.buffers = list.data();
        if (schema.n_children > 0 && in.ConsumeProbability<float>() < 0.95f) {
            auto& children = array_lists.emplace_back(static_cast<std::size_t>(schema.n_children));
            for (std::size_t i = 0; i < children.size(); ++i)
                build_array(*schema.children[i], *(children[i] = &arrays.emplace_back()));
            array.n_children = schema.n_children;
            array.children = children.data();
        }
        if (schema.dictionary != nullptr && in.ConsumeProbability<float>() < 0.95f) {
            build_array(*schema.dictionary, *(array.dictionary = &arrays.emplace_back()));
        }
    }
};

// A top-level structure's release: it must come once, and it releases the children with it.
int releases = 0;
template <class Struct>
void release_top(Struct* value) {
    if (value->release == nullptr) fail("released twice");
    ++releases;
    value->release = nullptr;
}
void release_unfilled(ArrowArray*) { fail("released an array the producer did not fill"); }

struct FuzzStream {
    Producer* producer = nullptr;
    ArrowSchema schema{};  // the producer's own copy, which its arrays follow
    bool schema_fails = false;
    int chunks_left = 0;
    int handed_over = 0;
    std::string last_error;
};

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    auto& state = *static_cast<FuzzStream*>(stream->private_data);
    if (state.schema_fails) return 5;
    state.producer->build_schema(state.schema, 0);
    *out = state.schema;
    out->release = release_top<ArrowSchema>;
    ++state.handed_over;
    return 0;
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto& state = *static_cast<FuzzStream*>(stream->private_data);
    if (state.chunks_left == 0) {
        *out = ArrowArray{};
        return 0;
    }
    --state.chunks_left;
    if (state.producer->in.ConsumeProbability<float>() < 0.1f) {
        std::memset(out, 0xAB, sizeof *out);
        out->release = release_unfilled;
        return 22;
    }
    state.producer->build_array(state.schema, *out);
    out->release = release_top<ArrowArray>;
    ++state.handed_over;
    return 0;
}

const char* stream_last_error(ArrowArrayStream* stream) {
    auto& state = *static_cast<FuzzStream*>(stream->private_data);
    return state.last_error.empty() ? nullptr : state.last_error.c_str();
}

void decode_all(const ImportedColumns& imported) {
    for (const auto& column : imported.columns()) {
        velunda::batch::SequenceSource source("samples", 13, column);
        std::size_t rows = 0;
        velunda::batch::decode_in_order(
            {.source = source, .threads = 1, .row_end = {}, .consume = [&](const velunda::batch::Chunk& chunk) {
                 rows += chunk.ends.size();
                 return true;
             }});
        if (rows != column.size()) fail("rows lost in the decode");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    Producer producer(in);
    releases = 0;
    int handed_over = 0;
    {
        ImportedColumns imported;
        if (in.ConsumeBool()) {
            ArrowSchema schema{};
            ArrowArray array{};
            producer.build_schema(schema, 0);
            producer.build_array(schema, array);
            schema.release = release_top<ArrowSchema>;
            array.release = release_top<ArrowArray>;
            handed_over = 2;
            if (!imported.take_array(schema, array)) decode_all(imported);
            if (schema.release != nullptr || array.release != nullptr) fail("a structure left with the producer");
        } else {
            FuzzStream state;
            state.producer = &producer;
            state.schema_fails = in.ConsumeProbability<float>() < 0.1f;
            state.chunks_left = in.ConsumeIntegralInRange<int>(0, 4);
            if (in.ConsumeBool()) state.last_error = "producer failed";
            ArrowArrayStream stream{stream_get_schema, stream_get_next, stream_last_error,
                                    release_top<ArrowArrayStream>, &state};
            const auto missing = in.ConsumeIntegralInRange<int>(0, 40);
            if (missing == 1) stream.get_schema = nullptr;
            if (missing == 2) stream.get_next = nullptr;
            if (missing == 3) stream.get_last_error = nullptr;
            if (!imported.take_stream(stream)) decode_all(imported);
            imported.release();
            handed_over = 1 + state.handed_over;
        }
    }
    if (releases != handed_over) fail("a structure handed over was not released exactly once");
    return 0;
}
