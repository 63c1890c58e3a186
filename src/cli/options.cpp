#include "cli/options.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <string_view>

#include "batch/in_order.hpp"
#include "cli/text.hpp"

#ifndef VELUNDA_VERSION
#define VELUNDA_VERSION "unknown"
#endif

namespace velunda::cli {

namespace {

constexpr std::string_view usage_text =
    "usage: velunda-parse [options] [FILE ...]\n"
    "\n"
    "Decodes payloads, one per line, to JSON Lines on standard output, in input order.\n"
    "Each line is kind,version,base64 (a header line kind,version,b64_data is skipped),\n"
    "or only the base64 text when --kind and --payload-version are given. With no FILE,\n"
    "or when FILE is -, standard input is read.\n"
    "\n"
    "options:\n"
    "  --kind KIND              the kind of every line (calibration, diagnostics, samples)\n"
    "  --payload-version N      the version of every line (with --kind); also --version N\n"
    "  -o, --output FILE        write the JSON Lines to FILE instead of standard output; FILE\n"
    "                           appears, whole, only once the run has succeeded\n"
    "  --errors MODE            report a failing line on standard error (stderr, the default)\n"
    "                           or in its place in the output (inline):\n"
    "                           {\"error\":\"<message>\",\"line\":N}\n"
    "  --max-line-bytes N       a longer line is reported as failed and skipped (default 1 GiB)\n"
    "  -j, --jobs N             worker threads (default: the cores this process may use)\n"
    "  --schema KIND VERSION    print the JSON Schema of what KIND VERSION decodes to and exit;\n"
    "  --schema all             or of every kind and version, keyed \"<kind>/<version>\"\n"
    "  -q, --quiet              no progress line\n"
    "  -h, --help               show this help and exit\n"
    "  -V, --version            show the program's version and exit\n"
    "\n"
    "exit status: 0 when every line decoded, 1 when some failed, 2 for bad usage, an\n"
    "unreadable file or a failed write.\n";

template <class Number>
std::optional<Number> parse_number(std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

std::string quoted(std::string_view text) { return "'" + printable(text) + "'"; }

}  // namespace

std::optional<std::uint64_t> parse_version(std::string_view text) { return parse_number<std::uint64_t>(text); }

std::optional<Options> parse_options(int argc, char** argv) {
    Options options;
    // --version names the payloads' version when a kind is given (or with =N), and otherwise
    // asks for the program's version.
    const bool kind_given = std::any_of(argv + 1, argv + argc, [](const char* argument) {
        const std::string_view text = argument;
        return text == "--kind" || text.starts_with("--kind=");
    });
    bool only_files = false;
    for (int at = 1; at < argc; ++at) {
        std::string_view argument = argv[at];
        if (only_files || argument == "-" || argument.empty() || argument[0] != '-') {
            options.inputs.emplace_back(argument);
            continue;
        }
        if (argument == "--") {
            only_files = true;
            continue;
        }
        // --name=value, and -j4 / -oFILE for the short options that take a value.
        std::optional<std::string_view> attached;
        if (const auto equals = argument.find('='); argument.starts_with("--") && equals != std::string_view::npos) {
            attached = argument.substr(equals + 1);
            argument = argument.substr(0, equals);
        } else if (argument.size() > 2 && (argument.starts_with("-j") || argument.starts_with("-o"))) {
            attached = argument.substr(2);
            argument = argument.substr(0, 2);
        }
        const auto value = [&]() -> std::string_view {
            if (attached) return *attached;
            if (at + 1 >= argc) throw UsageError("option " + std::string(argument) + " needs a value");
            return argv[++at];
        };
        const bool names_payload_version =
            argument == "--payload-version" ||
            (argument == "--version" && (attached || kind_given || (at + 1 < argc && parse_version(argv[at + 1]))));
        if (argument == "-h" || argument == "--help") {
            std::fwrite(usage_text.data(), 1, usage_text.size(), stdout);
            return std::nullopt;
        }
        if (argument == "-V" || (argument == "--version" && !names_payload_version)) {
            std::printf("velunda-parse %s\n", VELUNDA_VERSION);
            return std::nullopt;
        }
        if (names_payload_version) {
            const std::string_view number = value();
            options.version = parse_version(number);
            if (!options.version) {
                throw UsageError(std::string(argument) + " needs a number from " + std::string(version_range) +
                                 ", not " + quoted(number));
            }
        } else if (argument == "--kind") {
            options.kind = std::string(value());
        } else if (argument == "-o" || argument == "--output") {
            options.output = std::string(value());
        } else if (argument == "--errors") {
            const std::string_view mode = value();
            if (mode != "stderr" && mode != "inline")
                throw UsageError("--errors is stderr or inline, not " + quoted(mode));
            options.inline_errors = mode == "inline";
        } else if (argument == "-j" || argument == "--jobs") {
            const std::string_view number = value();
            const auto jobs = parse_number<unsigned>(number);
            if (!jobs || *jobs == 0 || *jobs > 256)
                throw UsageError("--jobs needs a number from 1 to 256, not " + quoted(number));
            options.jobs = *jobs;
        } else if (argument == "--schema") {
            if (options.schema) throw UsageError("--schema is given once");
            const std::string_view kind = value();
            options.schema = Options::SchemaRequest{};
            if (kind != "all") {
                if (at + 1 >= argc) throw UsageError("--schema " + printable(kind) + " needs a version");
                const std::string_view number = argv[++at];
                const auto version = parse_version(number);
                if (!version) {
                    throw UsageError("--schema needs a version from " + std::string(version_range) + ", not " +
                                     quoted(number));
                }
                options.schema = Options::SchemaRequest{std::string(kind), *version};
            }
        } else if (argument == "--max-line-bytes") {
            const std::string_view number = value();
            const auto limit = parse_number<std::size_t>(number);
            if (!limit || *limit == 0)
                throw UsageError("--max-line-bytes needs a number of at least 1, not " + quoted(number));
            options.max_line_bytes = *limit;
        } else if (argument == "-q" || argument == "--quiet") {
            options.quiet = true;
        } else {
            throw UsageError("unknown option " + printable(argument));
        }
    }
    if (options.kind.has_value() != options.version.has_value())
        throw UsageError("--kind and --payload-version go together");
    if (options.schema && !options.inputs.empty())
        throw UsageError("--schema takes no input files, not " + quoted(options.inputs.front()));
    if (options.inputs.empty()) options.inputs.emplace_back("-");
    if (options.jobs == 0) options.jobs = batch::usable_cores();
    return options;
}

}  // namespace velunda::cli
