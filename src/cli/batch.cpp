#include "cli/batch.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cli/text.hpp"
#include "codec/static_text.hpp"
#include "decode.hpp"

namespace velunda::cli {

namespace {

struct LineFailure {
    std::string message;
    std::optional<std::size_t> offset;
    std::string path;
};

bool is_header(std::string_view line) { return line == "kind,version,b64_data"; }

constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";

// Decodes one line's payload onto `output` (with its '\n'), or returns why it failed.
std::optional<LineFailure> decode_line(std::string_view line, const Options& options, codec::ByteBuffer& output) {
    std::string_view kind;
    std::uint64_t version = 0;
    std::string_view text = line;
    if (options.kind && options.version) {
        kind = *options.kind;
        version = *options.version;
    } else {
        const std::size_t first = line.find(',');
        const std::size_t second = first == std::string_view::npos ? first : line.find(',', first + 1);
        if (second == std::string_view::npos) return LineFailure{"expected kind,version,base64", {}, {}};
        kind = line.substr(0, first);
        const std::string_view version_text = line.substr(first + 1, second - first - 1);
        const auto number = parse_version(version_text);
        if (!number) {
            return LineFailure{
                "version is not a number from " + std::string(version_range) + ": '" + std::string(version_text) + "'",
                {},
                {}};
        }
        version = *number;
        text = line.substr(second + 1);
    }
    const velunda::Outcome outcome = velunda::decode(kind, version, text, &output);
    if (outcome.ok()) {
        output.keep(outcome.json().size());
        output.append("\n");
        return std::nullopt;
    }
    LineFailure failure{outcome.message(kind), {}, {}};
    if (outcome.status() == velunda::Outcome::Status::failed) {
        failure.offset = outcome.error().offset();
        failure.path = outcome.error().path;
    }
    return failure;
}

void append_json_string(std::string& out, std::string_view text) {
    const std::size_t at = out.size();
    out.resize(at + velunda::codec::quoted_size(text));
    velunda::codec::write_quoted(out.data() + at, text);
}

// A failure as the user sees it: in place in the output, or on standard error. Messages quote
// the line's own bytes, which need not be UTF-8: they are made valid first.
void report(Batch& batch, const Options& options, std::size_t line_number, const LineFailure& failure) {
    ++batch.failures;
    const std::string message = valid_utf8(failure.message);
    if (options.inline_errors) {
        std::string record = "{\"error\":";
        append_json_string(record, message);
        record += ",\"line\":" + std::to_string(line_number) + "}\n";
        batch.output.append(record);
        return;
    }
    std::string line = valid_utf8(*batch.file_name) + ":" + std::to_string(line_number) + ": " + message;
    if (failure.offset) {
        line += " (at byte " + std::to_string(*failure.offset);
        if (!failure.path.empty()) line += ", " + failure.path;
        line += ')';
    }
    line += '\n';
    batch.errors += line;
}

}  // namespace

void decode_batch(Batch& batch, const Options& options) {
    bool header_allowed = batch.starts_file;
    std::size_t line_number = batch.first_line;
    auto too_long = batch.too_long.begin();
    std::string_view lines = batch.text.text();
    if (batch.starts_file && lines.starts_with(byte_order_mark)) lines.remove_prefix(byte_order_mark.size());
    for (std::size_t begin = 0; begin < lines.size(); ++line_number) {
        std::size_t end = lines.find('\n', begin);
        if (end == std::string_view::npos) end = lines.size();
        std::string_view text = lines.substr(begin, end - begin);
        begin = end + 1;
        if (too_long != batch.too_long.end() && *too_long == line_number) {
            ++too_long;
            ++batch.payloads;
            header_allowed = false;
            report(
                batch, options, line_number,
                {"line longer than " + std::to_string(options.max_line_bytes) + " bytes (--max-line-bytes)", {}, {}});
            continue;
        }
        if (text.ends_with('\r')) text.remove_suffix(1);
        if (text.empty()) continue;
        const bool first_line = header_allowed;
        header_allowed = false;
        if (first_line && !options.kind && is_header(text)) continue;
        ++batch.payloads;
        if (const std::optional<LineFailure> failure = decode_line(text, options, batch.output)) {
            report(batch, options, line_number, *failure);
        }
    }
}

}  // namespace velunda::cli
