#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velunda::cli {

struct Options {
    std::vector<std::string> inputs;
    std::optional<std::string> output;
    std::optional<std::string> kind;
    std::optional<std::uint64_t> version;
    bool inline_errors = false;
    unsigned jobs = 0;
    bool quiet = false;
    std::size_t max_line_bytes = std::size_t(1) << 30;
    // --schema: print JSON Schemas instead of converting; every layout when `kind` is empty.
    struct SchemaRequest {
        std::string kind;
        std::uint64_t version = 0;
    };
    std::optional<SchemaRequest> schema;
};

class UsageError : public std::runtime_error {
public:
    explicit UsageError(const std::string& message) : std::runtime_error(message) {}
    std::string message() const { return what(); }
};

// The options, or nullopt once --help or the program's --version has been answered.
// Throws UsageError.
std::optional<Options> parse_options(int argc, char** argv);

// The versions there can be, as messages name them.
inline constexpr std::string_view version_range = "0 to 18446744073709551615";

// A version from 0 to 2^64 - 1 in plain decimal, or nothing.
std::optional<std::uint64_t> parse_version(std::string_view text);

}  // namespace velunda::cli
