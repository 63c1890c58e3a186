#include "cli/convert.hpp"

#include <cstdio>
#include <string>
#include <string_view>

#include "batch/json_chunks.hpp"
#include "cli/line_source.hpp"
#include "cli/progress.hpp"
#include "cli/text.hpp"
#include "codec/static_text.hpp"

namespace velunda::cli {

namespace {

void append_json_string(std::string& out, std::string_view text) {
    const std::size_t at = out.size();
    out.resize(at + codec::quoted_size(text));
    codec::write_quoted(out.data() + at, text);
}

// A failure in place of its line: {"error":"<message>","line":N}
void append_inline_failure(std::string& out, const batch::RowFailure& failure) {
    out += "{\"error\":";
    append_json_string(out, valid_utf8(failure.message()));
    out += ",\"line\":" + std::to_string(failure.row) + "}\n";
}

// For standard error: "file:7: Parsing failed: ... (at byte 2, water_o2.data)". Messages quote
// the line's own bytes, which need be neither UTF-8 nor printable: they are made both first.
void append_report(std::string& out, const std::string& file_name, const batch::RowFailure& failure) {
    out += printable(file_name) + ":" + std::to_string(failure.row) + ": " + printable(failure.message());
    if (failure.problem.empty() && failure.status == Status::failed) {
        if (const auto offset = failure.error.offset()) {
            out += " (at byte " + std::to_string(*offset);
            if (!failure.error.path.empty()) out += ", " + failure.error.path;
            out += ')';
        }
    }
    out += '\n';
}

}  // namespace

RunResult convert_inputs(const Options& options, Output& output) {
    LineSource source(options);
    Progress progress(options.quiet);
    progress.start();
    std::string assembled;  // a chunk's JSON Lines with its failures in place
    std::string reports;
    std::size_t failures = 0, payloads = 0, bytes = 0;
    int write_error = 0;
    const auto consume = [&](const batch::Chunk& chunk) {
        const auto& file = static_cast<const LineSource::FileLines&>(*chunk.rows);
        std::string_view text = chunk.text.text();
        reports.clear();
        if (!chunk.failures.empty()) {
            if (options.inline_errors) {
                assembled.clear();
                std::size_t written = 0;
                for (const batch::RowFailure& failure : chunk.failures) {
                    assembled.append(text.substr(written, failure.text_at - written));
                    written = failure.text_at;
                    append_inline_failure(assembled, failure);
                }
                assembled.append(text.substr(written));
                text = assembled;
            } else {
                for (const batch::RowFailure& failure : chunk.failures)
                    append_report(reports, *file.file_name, failure);
            }
        }
        if (const int error = output.write(text)) {
            write_error = error;
            return false;
        }
        if (!reports.empty()) {
            progress.clear();
            std::fwrite(reports.data(), 1, reports.size(), stderr);
        }
        failures += chunk.failures.size();
        payloads += chunk.ends.size();
        bytes += file.lines.text.size();
        progress.show(payloads, bytes);
        return true;
    };
    batch::decode_in_order({.source = source, .threads = options.jobs, .row_end = "\n", .consume = consume});
    progress.finish(payloads, bytes);
    if (write_error != 0) return {Ending::unwritable, failures, write_error};
    return {source.unreadable() ? Ending::unreadable : Ending::complete, failures, 0};
}

}  // namespace velunda::cli
