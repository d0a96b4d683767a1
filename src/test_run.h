// Runs the built login-history binary as users run it, with a /var/log of the
// test's own: a scratch directory mounted over /var/log in a private mount
// namespace (inside a user namespace when not root). The machine's own log
// is never read or touched.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

enum class log_kind { file, missing, directory };
enum class output_kind { captured, dev_full, closed, broken_pipe };

struct scene {
    std::string log;  // the bytes of /var/log/wtmp
    log_kind kind = log_kind::file;
    mode_t mode = 0644;
    bool as_nobody = false;  // run as user 65534 (needs root; no wrapper)
    output_kind output = output_kind::captured;
    std::string tz = "UTC0";
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

// Lays out `s` in a new scratch /var/log and runs the binary with `args`.
outcome run(const scene& s, const std::vector<std::string>& args);

// Runs the binary with `var_log` as /var/log as it stands; only the
// run-time parts of `s` (user, output, TZ, wrapper) apply.
outcome run_in(const std::string& var_log, const scene& s, const std::vector<std::string>& args);

// Why the binary cannot be given a private /var/log here, or nothing.
std::optional<std::string> namespaces_unavailable();

// True when the CI variable is "true": there a missing means of testing is
// a failure, not a reason to skip.
bool in_ci();

// For a fixture's SetUp: skips the test when namespaces are unavailable, or
// fails it when the CI variable is "true"; either way its body does not run.
void require_namespaces();
