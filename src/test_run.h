// Runs the built login-history binary as users run it, with a /var/log of the
// test's own: a scratch directory mounted over /var/log in a private mount
// namespace (inside a user namespace when not root). The machine's own log
// is never read or touched.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class log_kind { file, missing, directory };
enum class output_kind { captured, dev_full, closed, broken_pipe, terminal };

struct scene {
    std::string log;  // the bytes of /var/log/wtmp
    log_kind kind = log_kind::file;
    mode_t mode = 0644;
    // When set, this directory is /var/log as it stands, and log, kind and
    // mode play no part.
    std::string var_log;
    bool as_nobody = false;  // run as user 65534 (needs root; no wrapper)
    // captured and terminal are both read back into outcome::out; terminal
    // is a pseudo-terminal that passes bytes unchanged.
    output_kind output = output_kind::captured;
    std::string tz = "UTC0";
    std::optional<rlim_t> open_files;  // a limit on the binary's descriptors
    std::vector<std::string> wrapper;  // runs the binary under e.g. strace
};

struct outcome {
    int status = -1;  // exit status, 128 + signal when killed
    std::string out;
    std::string err;
};

// A scratch directory under `parent`, removed with everything in it.
struct scratch_dir {
    explicit scratch_dir(const std::string& parent = "/tmp");
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    std::string path;  // empty when it could not be made
};

// Lays out `s` (in a new scratch /var/log unless s.var_log is set) and runs
// the binary with `args`. The binary inherits no descriptor beyond the
// three standard ones.
outcome run(const scene& s, const std::vector<std::string>& args);

// The C library's time text for `seconds` in the test's own time zone:
// asctime of localtime_r, or the count of seconds and a newline where
// either cannot convert it.
std::string libc_time_text(std::int64_t seconds);

// Seconds in [from, to] at which local time does not simply tick on: the
// UTC offset changes, or a leap second is inserted.
int irregular_seconds(std::int64_t from, std::int64_t to);

// Why the binary cannot be given a private /var/log here, or nothing.
std::optional<std::string> namespaces_unavailable();

// True when the CI variable is "true": there a missing means of testing is
// a failure, not a reason to skip.
bool in_ci();

// The end-to-end tests' fixture: skips a test when namespaces are
// unavailable, or fails it when the CI variable is "true"; either way its
// body does not run.
class LoginHistory : public ::testing::Test {
  protected:
    void SetUp() override;
};
