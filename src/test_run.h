// Runs the built binary with a scratch /var/log in a private mount namespace,
// never the machine's own; and the shared zone cases, the C library the oracle.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "test_log.h"
#include "test_time.h"

enum class log_kind { file, missing, directory };
// broken_pipe: a pipe with no reader, SIGPIPE ignored; head_pipe: a pipe whose reader takes one
// line and closes it, as `head -n 1` does. Elsewhere SIGPIPE is at its default, as a shell leaves
// it.
enum class output_kind { captured, dev_full, closed, broken_pipe, head_pipe, terminal };

struct scene {
    std::string log;  // the bytes of /var/log/wtmp
    log_kind kind = log_kind::file;
    mode_t mode = 0644;
    std::string var_log;     // when set, /var/log as it stands: log, kind and mode play no part
    bool as_nobody = false;  // run as user 65534 (needs root; no wrapper)
    output_kind output = output_kind::captured;  // read into outcome::out where there is a reader
    std::string tz = "UTC0";
    std::vector<std::pair<int, rlim_t>> limits;  // on the binary, such as {RLIMIT_NOFILE, 4}
    std::vector<std::string> wrapper;            // runs the binary under e.g. strace
};

struct outcome {
    int status = 0;  // exit status, 128 + signal when killed; -1 when the run could not be set up
    std::string out;
    std::string err;

    bool operator==(const outcome&) const = default;
};
void PrintTo(const outcome& result, std::ostream* out);

// A scratch directory under `parent`, removed with all in it; the tests end where none can be made.
struct scratch_dir {
    explicit scratch_dir(const std::string& parent = "/tmp");
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    std::string path;
};

// How the kernel names the binary's captured stdout (a memfd), as strace -P takes it.
inline const std::string CAPTURED_STDOUT_PATH = "/memfd:stdout";

// Lays out `s` and runs the binary with `args` and the standard descriptors only.
outcome run(const scene& s, const std::vector<std::string>& args);

// A run and what it must give. Rows as nobody need root: elsewhere they are
// left out, and the test is skipped naming them, after the other rows.
struct run_case {
    const char* name;
    scene setup;
    std::vector<std::string> args;
    outcome expected;
};
void expect_runs(const std::vector<run_case>& cases);

// The report that `user` should get of `records`, its times from libc_time_text.
std::string expected_report(const std::vector<test_record>& records, const std::string& user);

void use_time_zone(const std::string& tz);  // for the test process itself

// Zones and TZ rules with instants where local time does not simply tick on: the UTC offset changes
// (by odd seconds, or for half a minute), or a leap second is inserted.
struct zone_changes {
    const char* tz;
    std::vector<std::int64_t> changes;
    const char* package = nullptr;  // that installs the zone's file, where TZ names one
};
extern const std::vector<zone_changes> ZONE_CHANGES;
// Why the zone cannot be tested here, naming the package that brings its
// file; nothing for a TZ rule or an installed zone.
std::optional<std::string> zone_missing(const zone_changes& zone);
// Those of them that can be tested here; `missing` names every one that cannot.
std::vector<zone_changes> installed_zones(std::optional<std::string>& missing);

// The zone's changes, each with `span` seconds either side, once the test
// process is in that zone; the test fails where no second of them is irregular.
std::vector<std::int64_t> seconds_around(const zone_changes& zone, int span);

// Why a test cannot run here, or nothing when it can.
std::optional<std::string> namespaces_unavailable();
std::optional<std::string> tool_missing(const std::string& tool);

// Ends the test when `reason` holds one: skipped, or failed where the CI
// variable is "true", as there nothing that a test needs may be missing.
#define SKIP_OR_FAIL_IF(reason)                                                    \
    if (const std::optional<std::string> why = (reason)) {                         \
        if (const char* ci = std::getenv("CI"); ci && ci == std::string("true")) { \
            FAIL() << *why;                                                        \
        }                                                                          \
        GTEST_SKIP() << *why;                                                      \
    }

// The end-to-end tests' fixture: a private /var/log, and UTC unless a test says.
class LoginHistory : public ::testing::Test {
  protected:
    void SetUp() override {
        signal(SIGCHLD, SIG_DFL);  // runs are waited for, though the caller ignored it
        SKIP_OR_FAIL_IF(namespaces_unavailable());
        use_time_zone("UTC0");
    }
};
