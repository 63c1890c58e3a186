#include "arrow/typed/table.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "arrow/typed/columns.hpp"
#include "arrow/typed/flavor.hpp"
#include "batch/in_order.hpp"
#include "batch/rows.hpp"
#include "decode.hpp"
#include "family_list.hpp"

namespace velunda::arrow::typed {

namespace {

// The columns of one batch of a layout's rows.
class TableRows {
public:
    virtual ~TableRows() = default;
    // Reads one record; a record that fails leaves nothing but nulls.
    virtual Failure read_row(Reader& reader) = 0;
    virtual void null_row() = 0;
    // The columns so far; the builders are then empty, ready for the next chunk.
    virtual std::vector<Column> finish() = 0;
};

template <class Payload>
class RowsOf final : public TableRows {
public:
    Failure read_row(Reader& reader) override {
        const auto mark = record_.mark();
        const Failure failure = record_.read_fields(reader);
        if (failure) {
            record_.rollback(mark);
            record_.null_fields();
        }
        return failure;
    }
    void null_row() override { record_.null_fields(); }
    std::vector<Column> finish() override {
        std::vector<Column> columns = record_.finish_fields();
        record_.rollback(empty_);
        return columns;
    }

private:
    ArrowColumns<Payload> record_;
    typename ArrowColumns<Payload>::Mark empty_ = record_.mark();
};

using MakeRows = std::unique_ptr<TableRows> (*)();

struct MakeTableLayout {
    template <class Family, std::uint64_t Version>
    static constexpr MakeRows entry() {
        return [] { return std::unique_ptr<TableRows>(new RowsOf<typename Family::template Payload<Version>>()); };
    }
};

constexpr auto table_layouts = per_layout<MakeTableLayout>();

// The error column: utf8, null where the row decoded.
class ErrorColumn {
public:
    ErrorColumn() { offsets_.push(0); }
    void none() { push(false); }
    void add(const std::string& message) {
        text_.append(message.data(), message.size());
        push(true);
    }
    Column finish() {
        Column column = detail::node("u", "error", offsets_.size() - 1, validity_);
        column.buffers.push_back(offsets_.release());
        column.buffers.push_back(text_.release());
        return column;
    }

private:
    void push(bool valid) {
        validity_.push(valid);
        offsets_.push(detail::list_offset(text_.size()));
    }
    Validity validity_;
    Values<std::int32_t> offsets_;
    Values<char> text_;
};

Batch assemble(std::vector<Column> fields, ErrorColumn& errors, std::size_t rows, Flavor flavor) {
    auto batch = std::make_shared<Column>();
    batch->format = "+s";
    batch->length = static_cast<std::int64_t>(rows);
    batch->buffers.emplace_back();
    batch->children = std::move(fields);
    batch->children.push_back(errors.finish());
    if (flavor == Flavor::spark) to_spark(*batch);
    return batch;
}

// Hands each row of a chunk to the layout's columns.
class TableVisitor final : public batch::RowVisitor, public OutputForm {
public:
    explicit TableVisitor(TableRows& rows) : rows_(rows) {}

    void payload(std::size_t, std::string_view kind, std::uint64_t version, std::string_view base64_text) override {
        Error error{};
        read_ = false;
        const Status status = decode_payload(kind, version, base64_text, *this, error);
        if (status == Status::ok) {
            errors_.none();
        } else {
            if (!read_) rows_.null_row();
            errors_.add(failure_message(status, error, kind));
        }
        ++count_;
    }
    void absent(std::size_t) override {
        rows_.null_row();
        errors_.none();
        ++count_;
    }
    void unreadable(std::size_t, std::string problem) override {
        rows_.null_row();
        errors_.add(problem);
        ++count_;
    }
    codec::Failure read_record(const Layout&, codec::Reader& reader) override {
        read_ = true;
        return rows_.read_row(reader);
    }

    Batch finish(Flavor flavor) { return assemble(rows_.finish(), errors_, count_, flavor); }

private:
    TableRows& rows_;
    ErrorColumn errors_;
    std::size_t count_ = 0;
    bool read_ = false;
};

class TableStages final : public batch::ChunkStages {
public:
    TableStages(batch::SequenceSource& source, const Layout& layout, Flavor flavor, std::size_t slots,
                const std::function<bool()>& keep_going, std::vector<Batch>& batches)
        : source_(source), flavor_(flavor), keep_going_(keep_going), batches_(batches) {
        for (std::size_t i = 0; i < slots; ++i) {
            slots_.push_back({source.new_rows(), table_layouts[layout.index](), nullptr});
        }
    }

    Filled fill(std::size_t slot, bool may_wait, const std::atomic<bool>& stop) override {
        return source_.fill(*slots_[slot].rows, may_wait, stop);
    }
    void decode(std::size_t slot) override {
        TableVisitor visitor(*slots_[slot].columns);
        source_.visit(*slots_[slot].rows, visitor);
        slots_[slot].batch = visitor.finish(flavor_);
    }
    bool consume(std::size_t slot) override {
        batches_.push_back(std::move(slots_[slot].batch));
        return true;
    }
    bool keep_going() override { return !keep_going_ || keep_going_(); }
    std::size_t chunk_count_hint() const override { return source_.chunk_count_hint(); }

private:
    struct Slot {
        std::unique_ptr<batch::ChunkRows> rows;
        std::unique_ptr<TableRows> columns;  // reused chunk after chunk
        Batch batch;
    };
    batch::SequenceSource& source_;
    Flavor flavor_;
    const std::function<bool()>& keep_going_;
    std::vector<Batch>& batches_;
    std::vector<Slot> slots_;
};

// Larger chunks than JSON's: each is a record batch whose every column a consumer imports and
// releases on its own, so a few thousand typical rows a batch keep that cost small next to the
// decode, and the builders grow once per chunk. A smaller column is cut into a few chunks per
// thread all the same, or one thread would decode it alone.
constexpr std::size_t max_table_chunk_bytes = 8 * 1024 * 1024;
constexpr std::size_t min_table_chunk_bytes = 512 * 1024;
constexpr std::size_t table_chunks_per_thread = 4;

std::size_t table_chunk_bytes(const TextColumn& column, unsigned threads) {
    return std::clamp(column.total_bytes() / (table_chunks_per_thread * threads), min_table_chunk_bytes,
                      max_table_chunk_bytes);
}

}  // namespace

Batch schema_batch(const Layout& layout, Flavor flavor) {
    ErrorColumn errors;
    return assemble(table_layouts[layout.index]()->finish(), errors, 0, flavor);
}

Batch decode_row(std::string_view kind, std::uint64_t version, std::string_view base64_text, Flavor flavor) {
    const FamilyInfo* family = find_family(kind);
    const std::optional<Layout> layout = family != nullptr ? find_layout(*family, version) : std::nullopt;
    if (!layout) return nullptr;
    const auto columns = table_layouts[layout->index]();
    TableVisitor visitor(*columns);
    visitor.payload(0, kind, version, base64_text);
    return visitor.finish(flavor);
}

bool decode_table(const Layout& layout, Flavor flavor, std::span<const TextColumn> columns, unsigned threads,
                  const std::function<bool()>& keep_going, std::vector<Batch>& batches) {
    threads = std::max(threads, 1u);
    for (const TextColumn& column : columns) {
        batch::SequenceSource source(layout.family->kind, layout.version, column, table_chunk_bytes(column, threads));
        const std::size_t slots = batch::slots_for(threads);
        TableStages stages(source, layout, flavor, slots, keep_going, batches);
        if (!batch::run_in_order(stages, slots, threads)) return false;
    }
    return true;
}

}  // namespace velunda::arrow::typed
