// Shared helpers of the test suite: temporary directories, descriptor counts,
// environment pinning, local times and forked children.
#pragma once

#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>

namespace zutest {

// A fresh directory under /tmp, removed with everything in it at scope exit.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/zuos-test-XXXXXX";
        const char* p = ::mkdtemp(tmpl);
        path_ = p ? p : "";
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Number of open descriptors of this process.
inline int open_fd_count() {
    // Less the one the listing itself holds open.
    return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                          std::filesystem::directory_iterator())) -
           1;
}

// Sets (or unsets, with nullopt) an environment variable for the scope; for TZ it
// also calls tzset so that the C library sees the change.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = ::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
        ::tzset();
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_.c_str(), old_->c_str(), 1);
        else
            ::unsetenv(name_.c_str());
        ::tzset();
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// Local wall-clock fields to seconds, daylight saving decided by the C library.
inline time_t local(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    struct tm t {};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    t.tm_isdst = -1;
    return ::mktime(&t);
}

// Collects a child: its wait status, or -1 when there is no such child. A signal
// interrupting the wait is the only reason to wait again.
inline int reap(pid_t pid) {
    int st = 0;
    while (::waitpid(pid, &st, 0) == -1) {
        if (errno != EINTR) return -1;
    }
    return st;
}

// In a coverage build (--coverage), writes out this program's counters; _exit would
// drop a child's.
extern "C" void __gcov_dump(void) __attribute__((weak));

// Runs fn in a forked child and returns its exit status (fn's result), or -1 when
// the child did not exit normally. The child ends with _exit, never returning.
inline int run_in_child(const std::function<int()>& fn) {
    pid_t pid = ::fork();
    if (pid == 0) {
        const int rc = fn();
        if (__gcov_dump != nullptr) __gcov_dump();
        ::_exit(rc);
    }
    if (pid < 0) return -1;
    const int st = reap(pid);
    return st != -1 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// A file's whole content, or nullopt when it cannot be opened.
inline std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// The names in a directory ("." and ".." aside).
inline std::set<std::string> dir_names(const std::string& path) {
    std::set<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(path)) out.insert(e.path().filename());
    return out;
}

}  // namespace zutest
