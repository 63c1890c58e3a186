#include "cli/output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace velunda::cli {

namespace {

// The temporary file a signal must remove, as a C string the handler can use safely.
char pending_temporary[PATH_MAX + 1];
std::atomic<bool> temporary_pending{false};

extern "C" void remove_temporary_and_die(int signal_number) {
    if (temporary_pending.load()) unlink(pending_temporary);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

// Every signal that would end the process and can be caught removes the temporary file first
// (SIGXFSZ is ignored instead: see ignore_file_size_signal). One that was ignored when the
// command started (nohup) stays ignored.
void guard_with_signals() {
    for (const int signal_number :
         {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF}) {
        struct sigaction current{};
        if (sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
        struct sigaction action{};
        action.sa_handler = remove_temporary_and_die;
        sigemptyset(&action.sa_mask);
        sigaction(signal_number, &action, nullptr);
    }
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file that `path` names through any chain of symlinks, dangling ones too: the file the links
// name is the one written, and a dangling link's target is created.
std::string followed(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info;
        if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) break;
        char target[PATH_MAX];
        const ssize_t size = readlink(path.c_str(), target, sizeof target);
        if (size <= 0 || static_cast<std::size_t>(size) >= sizeof target) break;
        const std::string_view next(target, static_cast<std::size_t>(size));
        path = next.starts_with('/') ? std::string(next) : directory_of(path) + "/" + std::string(next);
    }
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

}  // namespace

std::optional<std::string> input_that_is_output(const std::vector<std::string>& inputs,
                                                const std::optional<std::string>& output) {
    struct stat target;
    if (output) {
        if (stat(output->c_str(), &target) != 0) return std::nullopt;  // not there yet: nothing to destroy
    } else if (fstat(STDOUT_FILENO, &target) != 0 || !S_ISREG(target.st_mode)) {
        return std::nullopt;  // a terminal or a pipe is no input
    }
    for (const std::string& name : inputs) {
        struct stat source;
        const int found = name == "-" ? fstat(STDIN_FILENO, &source) : stat(name.c_str(), &source);
        if (found == 0 && S_ISREG(source.st_mode) && same_file(source, target)) return name == "-" ? "<stdin>" : name;
    }
    return std::nullopt;
}

void ignore_file_size_signal() { std::signal(SIGXFSZ, SIG_IGN); }

std::optional<std::string> Output::open(const std::optional<std::string>& path) {
    if (!path) return std::nullopt;
    name_ = *path;
    // What standard output or standard error already is (/dev/stdout, its own name) is written
    // through that descriptor as it was opened: appending stays appending, nothing is replaced.
    struct stat named;
    if (stat(path->c_str(), &named) == 0) {
        for (const int standard : {STDOUT_FILENO, STDERR_FILENO}) {
            struct stat open_file;
            if (fstat(standard, &open_file) == 0 && same_file(named, open_file)) {
                fd_ = standard;
                return std::nullopt;
            }
        }
    }
    final_path_ = followed(*path);
    struct stat existing;
    const bool exists = stat(final_path_.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
        fd_ = ::open(final_path_.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd_ < 0) return std::strerror(errno);
        final_path_.clear();
        return std::nullopt;
    }
    // A file the user could not open for writing is not replaced either (the shell's > refuses it).
    if (exists && faccessat(AT_FDCWD, final_path_.c_str(), W_OK, AT_EACCESS) != 0) return std::strerror(errno);
    temporary_path_ = directory_of(final_path_) + "/." + base_of(final_path_) + ".velunda-XXXXXX";
    if (temporary_path_.size() > PATH_MAX) return std::strerror(ENAMETOOLONG);
    std::memcpy(pending_temporary, temporary_path_.c_str(), temporary_path_.size() + 1);
    guard_with_signals();
    fd_ = mkostemp(pending_temporary, O_CLOEXEC);
    if (fd_ < 0) {
        const int error = errno;
        temporary_path_.clear();
        return std::strerror(error);
    }
    temporary_path_ = pending_temporary;
    temporary_pending = true;
    // The file gets the mode it has, or that a new file would get.
    mode_t mode;
    if (exists) {
        mode = existing.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    fchmod(fd_, mode);
    return std::nullopt;
}

int Output::write(std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd_, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

int Output::commit() {
    if (temporary_path_.empty()) return 0;
    if (fsync(fd_) != 0) return errno;
    if (close(std::exchange(fd_, -1)) != 0) return errno;
    if (rename(temporary_path_.c_str(), final_path_.c_str()) != 0) return errno;
    temporary_pending = false;
    temporary_path_.clear();
    return 0;
}

Output::~Output() {
    if (!temporary_path_.empty()) {
        temporary_pending = false;
        unlink(temporary_path_.c_str());
    }
    if (fd_ > STDERR_FILENO) close(fd_);
}

}  // namespace velunda::cli
