#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "batch/rows.hpp"
#include "cli/input.hpp"
#include "cli/options.hpp"

namespace velunda::cli {

// The command's rows for the batch core: every input, opened one at a time, read in chunks of
// whole lines; each line is a row of its own kind and version (or of --kind and
// --payload-version). A header line, a byte-order mark and blank lines are no rows; a line that
// is not a payload row is one that fails with what is wrong with it.
class LineSource final : public batch::RowSource {
public:
    struct FileLines final : batch::ChunkRows {
        const std::string* file_name = nullptr;
        bool starts_file = false;  // a byte-order mark and a header may open it
        Lines lines;
    };

    explicit LineSource(const Options& options);
    LineSource(const LineSource&) = delete;
    LineSource& operator=(const LineSource&) = delete;
    ~LineSource() override;

    std::unique_ptr<batch::ChunkRows> new_rows() const override { return std::make_unique<FileLines>(); }
    batch::ChunkStages::Filled fill(batch::ChunkRows& rows, bool may_wait, const std::atomic<bool>& stop) override;
    void visit(const batch::ChunkRows& rows, batch::RowVisitor& visitor) const override;

    // Whether an input could not be opened or read (reported on standard error); no input after
    // it was read.
    bool unreadable() const { return unreadable_; }

private:
    bool open_next();
    void close_current();
    void read_row(std::size_t line_number, std::string_view line, batch::RowVisitor& visitor) const;

    const Options& options_;
    std::vector<std::string> names_;  // as messages name the inputs
    std::size_t next_input_ = 0;
    int fd_ = -1;
    std::unique_ptr<LineReader> reader_;  // of the input being read
    bool file_started_ = false;
    bool unreadable_ = false;
};

}  // namespace velunda::cli
