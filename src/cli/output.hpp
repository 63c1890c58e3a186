#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velunda::cli {

// Where the JSON Lines go: standard output, or the -o file. A regular file is written under a
// temporary name beside it and renamed into place only when the whole run has succeeded, so an
// interrupted or failed run leaves the old file as it was; a signal that ends the run removes
// the temporary file. Devices and pipes named by -o, and whatever standard output or standard
// error already is, are written directly.
class Output {
public:
    Output() = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output();

    // Opens the destination; the reason on failure.
    std::optional<std::string> open(const std::optional<std::string>& path);

    // Writes everything, retrying short writes; the errno of the first failure, or 0.
    int write(std::string_view text);

    // Makes the output final: flushes to disk and renames the temporary file into place.
    // The errno of a failure, or 0.
    int commit();

    // The destination's name in messages.
    const std::string& name() const { return name_; }

private:
    int fd_ = 1;
    std::string name_ = "<stdout>";
    std::string final_path_;
    std::string temporary_path_;
};

// Writes that pass the file size limit (ulimit -f) fail with EFBIG, reported as any failed write,
// rather than kill the process with SIGXFSZ.
void ignore_file_size_signal();

// The first input that is the output itself (the same file by device and inode, through any
// name or symlink, or standard input redirected from it): writing would destroy it.
std::optional<std::string> input_that_is_output(const std::vector<std::string>& inputs,
                                                const std::optional<std::string>& output);

}  // namespace velunda::cli
