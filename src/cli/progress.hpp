#pragma once

#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdio>

namespace velunda::cli {

// The progress line on standard error: only on a terminal, only once the work has taken a
// second, at most four times a second; the totals in its place at the end. Used by the writer
// thread alone.
class Progress {
public:
    explicit Progress(bool quiet) : shown_enabled_(!quiet && isatty(STDERR_FILENO) != 0) {}

    void start() { started_ = std::chrono::steady_clock::now(); }

    void show(std::size_t records, std::size_t bytes, bool final = false) {
        if (!shown_enabled_) return;
        const auto now = std::chrono::steady_clock::now();
        if (final ? !shown_
                  : now - started_ < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(250)) {
            return;
        }
        last_ = now;
        const double seconds = std::chrono::duration<double>(now - started_).count();
        std::fprintf(stderr, "\r%zu records, %.0f records/s, %.1f MB read ", records, records / seconds, bytes / 1e6);
        shown_ = true;
    }

    // Makes room for other lines on standard error.
    void clear() {
        if (shown_) std::fputs("\r\033[K", stderr);
    }

    void finish(std::size_t records, std::size_t bytes) {
        show(records, bytes, true);
        if (shown_) std::fputc('\n', stderr);
    }

private:
    const bool shown_enabled_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point started_, last_;
};

}  // namespace velunda::cli
