// The built binary under faults the log and its readers meet: failing
// reads, closes and writes, a log that grows while it is read, a log over
// 4 GiB, and a run under valgrind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "test_log.h"
#include "test_run.h"

namespace {

using enum log_kind;
using enum output_kind;

// The report the binary should give for `records` and `user`, in UTC.
std::string report_of(const std::vector<test_record>& records, const std::string& user) {
    use_time_zone("UTC0");
    return expected_report(records, user);
}

// strace, running the binary with `faults` injected. A sanitized binary's
// leak check cannot run under ptrace.
std::vector<std::string> strace(const std::vector<std::string>& faults,
                                const std::string& output = "/dev/null") {
    std::vector<std::string> words = {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-qq", "-o",
                                      output};
    words.insert(words.end(), faults.begin(), faults.end());
    return words;
}

TEST_F(LoginHistory, InjectedFaultsEndInStatus255) {
    SKIP_OR_FAIL_IF(tool_missing("strace"));
    // More than the 1 MiB the binary reads at once, and more report than the
    // 64 KiB it writes at once.
    std::vector<test_record> records;
    for (std::int32_t i = 0; i < 5000; ++i) {
        records.push_back({.line = "pts/" + std::to_string(i % 7), .time = 1700000000 + 60 * i});
    }
    const std::string log = test_log(records);
    const std::string full = report_of(records, "root");
    const std::size_t first_read = (1 << 20) / LOGIN_RECORD_SIZE;  // whole records in it
    const std::string after_first_read =
        report_of({records.begin(), records.begin() + first_read}, "root");
    struct {
        std::string inject;  // on the log's reads and closes, or on every write
        std::string out;
    } const cases[] = {
        {"read:error=EIO:when=1", ""},
        {"read:error=EIO:when=2", after_first_read},
        {"close:error=EIO", full},
        {"write:error=ENOSPC", ""},
        // A write that fails once: the report must not go on with a hole.
        {"write:error=EIO:when=2", full.substr(0, 65536)},
        {"write:error=ENOSPC:when=2+", full.substr(0, 65536)},
        {"write:error=EIO:when=3+", full.substr(0, 2 * 65536)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.inject);
        std::vector<std::string> faults = {"-e", "inject=" + c.inject};
        if (!c.inject.starts_with("write")) {
            faults.insert(faults.begin(), {"-P", "/var/log/wtmp"});
        }
        EXPECT_EQ(run({.log = log, .wrapper = strace(faults)}, {"root"}),
                  (outcome{.status = 255, .out = c.out}));
    }
}

// On a terminal each line goes out as it is made, so a person or a program
// reading along sees the report as it grows; a line that could not be passed
// on fails the run, though the line-buffered stream took it.
TEST_F(LoginHistory, LinesReachATerminalOneAtATime) {
    SKIP_OR_FAIL_IF(tool_missing("strace"));
    const std::vector<test_record> records = {
        {.time = 1}, {.user = "alice"}, {.time = 2}, {.time = 3}};
    const std::string full = report_of(records, "root");
    const scratch_dir trace_dir;
    ASSERT_FALSE(trace_dir.path.empty());
    const std::string trace = trace_dir.path + "/writes";
    struct {
        const char* name;
        std::vector<std::string> faults;
        outcome expected;
        int writes;
    } const cases[] = {
        {"every write succeeds", {"-e", "trace=write"}, {.out = full}, 3},
        {"the second write fails",
         {"-e", "trace=write", "-e", "inject=write:error=EIO:when=2"},
         {.status = 255, .out = full.substr(0, full.find('\n') + 1)},
         2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const scene setup{
            .log = test_log(records), .output = terminal, .wrapper = strace(c.faults, trace)};
        EXPECT_EQ(run(setup, {"root"}), c.expected);
        std::ifstream writes(trace);
        int count = 0;
        for (std::string line; std::getline(writes, line);) {
            count += line.rfind("write(1,", 0) == 0 ? 1 : 0;
        }
        EXPECT_EQ(count, c.writes);
    }
}

// A writer appends records a piece at a time, as login services may, while
// the binary reads the log again and again: every run reports whole lines
// of whole records only, a prefix of the final report, and succeeds.
TEST_F(LoginHistory, AppendsWhileReading) {
    const scratch_dir var_log;
    ASSERT_FALSE(var_log.path.empty());
    const int log_fd = open((var_log.path + "/wtmp").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(log_fd, 0);
    std::vector<test_record> records;
    for (std::int32_t i = 0; i < 4000; ++i) {
        records.push_back({.type = static_cast<std::int16_t>(i % 2 == 0 ? 7 : 8),
                           .user = i % 3 == 0 ? "alice" : "root",
                           .time = 1700000000 + 17 * i});
    }
    const std::string full = report_of(records, "root");

    const pid_t writer = fork();
    if (writer == 0) {
        for (const test_record& record : records) {
            const std::string bytes = encode_test_record(record);
            std::size_t from = 0;
            for (const std::size_t to : {std::size_t{100}, std::size_t{250}, bytes.size()}) {
                if (write(log_fd, bytes.data() + from, to - from) !=
                    static_cast<ssize_t>(to - from)) {
                    _exit(1);
                }
                from = to;
                usleep(20);
            }
        }
        _exit(0);
    }
    ASSERT_GT(writer, 0);
    close(log_fd);

    int writer_status = 0;
    for (bool writing = true; writing;) {
        writing = waitpid(writer, &writer_status, WNOHANG) == 0;
        const outcome result = run({.var_log = var_log.path}, {"root"});
        // Whole lines of a prefix of the final report; all of it once the
        // writer is done.
        ASSERT_EQ(result, (outcome{.out = full.substr(0, result.out.size())}));
        ASSERT_TRUE(result.out.empty() || result.out.back() == '\n');
        ASSERT_TRUE(writing || result.out == full);
    }
    EXPECT_TRUE(WIFEXITED(writer_status) && WEXITSTATUS(writer_status) == 0);
}

// Record offsets past 2^32 bytes: a sparse log with a record of the user's
// at each end and zeros between. On tmpfs, where holes read fast.
TEST_F(LoginHistory, LogOver4GiB) {
#ifdef LOGIN_HISTORY_EMULATED
    GTEST_SKIP() << "under qemu the binary opens files as a 64-bit process does, so this "
                    "cannot fail here; the native i386 run is what proves large files";
#endif
    const scratch_dir var_log("/dev/shm");
    ASSERT_FALSE(var_log.path.empty());
    const auto size = static_cast<ssize_t>(LOGIN_RECORD_SIZE);
    const std::int64_t records = (std::int64_t{1} << 32) / size + 2;
    const std::vector<test_record> ends = {{.line = "first", .time = 1},
                                           {.line = "last", .time = 2}};
    const int fd = open((var_log.path + "/wtmp").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, encode_test_record(ends[0]).data(), size, 0), size);
    ASSERT_EQ(pwrite(fd, encode_test_record(ends[1]).data(), size, (records - 1) * size), size);
    close(fd);
    EXPECT_EQ(run({.var_log = var_log.path}, {"root"}), outcome{.out = report_of(ends, "root")});
}

TEST_F(LoginHistory, NoMemoryErrorsOrLeaksUnderValgrind) {
#ifdef LOGIN_HISTORY_SANITIZED
    GTEST_SKIP() << "valgrind cannot run a sanitized binary";
#endif
#ifdef LOGIN_HISTORY_CROSS_BUILT
    GTEST_SKIP() << "valgrind cannot run a cross-built binary here: not one of another "
                    "architecture under qemu, and an i386 one only with the i386 C library's "
                    "debugging symbols, which need a multiarch setup";
#endif
    SKIP_OR_FAIL_IF(tool_missing("valgrind"));
    const std::vector<test_record> records = {
        {.user = "root"}, {.user = "alice"}, {.user = "root", .time = -5}};
    const std::string log = test_log(records) + "partial";
    std::vector<run_case> cases = {
        {"a report", {.log = log}, {"root"}, {.out = report_of(records, "root")}},
        {"output fails", {.log = log, .output = dev_full}, {"root"}, {.status = 255}},
        {"the log is a directory", {.kind = directory}, {"root"}, {.status = 255}},
        {"no log", {.kind = missing}, {"root"}, {.status = 1}},
    };
    for (run_case& c : cases) {
        c.setup.wrapper = {"valgrind",
                           "-q",
                           "--error-exitcode=99",
                           "--leak-check=full",
                           "--show-leak-kinds=all",
                           "--errors-for-leak-kinds=all"};
    }
    expect_runs(cases);
}

}  // namespace
