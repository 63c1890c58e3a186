// velunda-parse: converts files of payloads, one per line, to JSON Lines with the same decoder
// as the Python module. This file is the command's top: options, the JSON Schemas, and the
// checks that come before any output; options.*, input.*, line_source.*, convert.* and output.*
// hold the rest.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "cli/convert.hpp"
#include "cli/input.hpp"
#include "cli/options.hpp"
#include "cli/output.hpp"
#include "cli/text.hpp"
#include "decode.hpp"
#include "json/decode_json.hpp"

namespace {

using namespace velunda::cli;

int fail(const std::string& what, const std::string& reason) {
    std::fprintf(stderr, "velunda-parse: %s: %s\n", printable(what).c_str(), reason.c_str());
    return 2;
}

// The JSON Schemas the layouts declare: one, or all keyed "<kind>/<version>".
int print_schema(const Options::SchemaRequest& request) {
    std::string out;
    if (request.kind.empty()) {
        out += '{';
        for (const auto& [kind, version] : velunda::supported_layouts()) {
            if (out.size() > 1) out += ',';
            out += '"';
            out += kind;
            out += '/';
            out += std::to_string(version);
            out += "\":";
            out += velunda::json::json_schema(kind, version).value_or("null");
        }
        out += '}';
    } else if (auto schema = velunda::json::json_schema(request.kind, request.version)) {
        out = std::move(*schema);
    } else {
        std::fprintf(
            stderr,
            "velunda-parse: no layout for kind '%s' version %llu\nTry 'velunda-parse --help' for more information.\n",
            printable(request.kind).c_str(), static_cast<unsigned long long>(request.version));
        return 2;
    }
    out += '\n';
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : fail("write error", std::strerror(errno));
}

int convert(const Options& options) {
    // Every input is checked before any output, so a bad name stops the run with nothing written.
    int status = 0;
    for (const std::string& name : options.inputs) {
        if (auto problem = input_problem(name)) status = fail(name, *problem);
    }
    if (status != 0) return status;
    if (auto same = input_that_is_output(options.inputs, options.output)) {
        return fail(options.output.value_or("<stdout>"),
                    "is also an input (" + printable(*same) + "); refusing to overwrite it");
    }
    ignore_file_size_signal();
    Output output;
    if (auto problem = output.open(options.output)) return fail(output.name(), *problem);
    const RunResult result = convert_inputs(options, output);
    switch (result.ending) {
        case Ending::unreadable:
            return 2;
        case Ending::unwritable:
            return fail("write error", std::strerror(result.write_error));
        case Ending::complete:
            break;
    }
    if (const int error = output.commit()) return fail("write error", std::strerror(error));
    return result.failures > 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        std::optional<Options> options;
        try {
            options = parse_options(argc, argv);
        } catch (const UsageError& error) {
            std::fprintf(stderr, "velunda-parse: %s\nTry 'velunda-parse --help' for more information.\n",
                         error.message().c_str());
            return 2;
        }
        if (!options) return 0;
        if (options->schema) return print_schema(*options->schema);
        return convert(*options);
    } catch (const std::bad_alloc&) {
        std::fputs("velunda-parse: out of memory\n", stderr);
    } catch (const std::exception& fault) {
        std::fprintf(stderr, "velunda-parse: internal error: %s\n", fault.what());
    }
    return 2;
}
