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

#include "command.h"
#include "test_log.h"
#include "test_run.h"

namespace {

class LoginHistoryFaults : public LoginHistory {
  protected:
    void SetUp() override {
        LoginHistory::SetUp();
#ifdef LOGIN_HISTORY_SANITIZED
        setenv("ASAN_OPTIONS", "detect_leaks=0", 1);  // LeakSanitizer cannot run under ptrace
#endif
    }
};

bool on_path(const std::string& tool) {
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Skips when a tool is missing, except in CI, where its absence fails.
#define REQUIRE_TOOL(tool)                           \
    if (!on_path(tool)) {                            \
        if (in_ci()) {                               \
            FAIL() << tool << " is needed";          \
        }                                            \
        GTEST_SKIP() << tool << " is not installed"; \
    }

// The report the binary should give for `records` and `user`, in UTC.
std::string report_of(const std::vector<test_record>& records, const std::string& user) {
    setenv("TZ", "UTC0", 1);
    tzset();
    std::string report;
    for (const test_record& record : records) {
        const login_record decoded = decode_in_form(LOGIN_RECORD_FORM, encode_test_record(record));
        if (selects_record(user, decoded)) {
            report += format_report_line(decoded).view();
        }
    }
    return report;
}

bool whole_lines(const std::string& text) {
    return text.empty() || text.back() == '\n';
}

TEST_F(LoginHistoryFaults, InjectedFaultsEndInStatus255) {
    REQUIRE_TOOL("strace");
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
        const char* name;
        std::vector<std::string> strace;
        std::string out;
        bool prefix_only;  // out must only be a prefix of the full report
    } const cases[] = {
        {"the first read fails",
         {"-P", "/var/log/wtmp", "-e", "trace=read", "-e", "inject=read:error=EIO:when=1"},
         "",
         false},
        {"the second read fails",
         {"-P", "/var/log/wtmp", "-e", "trace=read", "-e", "inject=read:error=EIO:when=2"},
         after_first_read,
         false},
        {"closing the log fails",
         {"-P", "/var/log/wtmp", "-e", "trace=close", "-e", "inject=close:error=EIO"},
         full,
         false},
        {"every write fails", {"-e", "trace=write", "-e", "inject=write:error=ENOSPC"}, "", false},
        // A write that fails once: the report must not go on with a hole.
        {"only the second write fails",
         {"-e", "trace=write", "-e", "inject=write:error=EIO:when=2"},
         full.substr(0, 65536),
         true},
        {"writes fail from the second",
         {"-e", "trace=write", "-e", "inject=write:error=ENOSPC:when=2+"},
         full.substr(0, 65536),
         true},
        {"writes fail from the third",
         {"-e", "trace=write", "-e", "inject=write:error=EIO:when=3+"},
         full.substr(0, 2 * 65536),
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scene setup{.log = log, .wrapper = {"strace", "-qq", "-o", "/dev/null"}};
        setup.wrapper.insert(setup.wrapper.end(), c.strace.begin(), c.strace.end());
        const outcome result = run(setup, {"root"});
        EXPECT_EQ(result.status, 255);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, "");
        if (c.prefix_only) {
            EXPECT_EQ(full.compare(0, result.out.size(), result.out), 0);
        } else {
            EXPECT_TRUE(whole_lines(result.out));
        }
    }
}

// On a terminal each line goes out as it is made, so a person or a program
// reading along sees the report as it grows; a line that could not be passed
// on fails the run, though the line-buffered stream took it.
TEST_F(LoginHistoryFaults, LinesReachATerminalOneAtATime) {
    REQUIRE_TOOL("strace");
    const std::vector<test_record> records = {
        {.time = 1}, {.user = "alice"}, {.time = 2}, {.time = 3}};
    const std::string full = report_of(records, "root");
    const scratch_dir trace_dir;
    ASSERT_FALSE(trace_dir.path.empty());
    const std::string trace = trace_dir.path + "/writes";
    struct {
        const char* name;
        std::vector<std::string> inject;
        int status;
        std::string out;
        int writes;
    } const cases[] = {
        {"every write succeeds", {}, 0, full, 3},
        {"the second write fails",
         {"-e", "inject=write:error=EIO:when=2"},
         255,
         full.substr(0, full.find('\n') + 1),
         2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scene setup{.log = test_log(records),
                    .output = output_kind::terminal,
                    .wrapper = {"strace", "-qq", "-o", trace, "-e", "trace=write"}};
        setup.wrapper.insert(setup.wrapper.end(), c.inject.begin(), c.inject.end());
        const outcome result = run(setup, {"root"});
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.out, c.out);
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
TEST_F(LoginHistoryFaults, AppendsWhileReading) {
    const scratch_dir var_log;
    ASSERT_FALSE(var_log.path.empty());
    const std::string path = var_log.path + "/wtmp";
    const int log_fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
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

    int runs = 0;
    int partial_runs = 0;
    int writer_status = 0;
    for (bool writing = true; writing;) {
        writing = waitpid(writer, &writer_status, WNOHANG) == 0;
        const outcome result = run({.var_log = var_log.path}, {"root"});
        ++runs;
        ASSERT_EQ(result.status, 0);
        ASSERT_EQ(result.err, "");
        ASSERT_TRUE(whole_lines(result.out));
        ASSERT_EQ(full.compare(0, result.out.size(), result.out), 0) << "run " << runs;
        if (!writing) {
            EXPECT_EQ(result.out, full);  // the last run came after the last append
        } else if (!result.out.empty() && result.out.size() < full.size()) {
            ++partial_runs;
        }
    }
    EXPECT_TRUE(WIFEXITED(writer_status) && WEXITSTATUS(writer_status) == 0);
    RecordProperty("runs", runs);
    RecordProperty("runs_during_appends", partial_runs);
}

// Record offsets past 2^32 bytes: a sparse log with a record of the user's
// at each end and zeros between. On tmpfs, where holes read fast.
TEST_F(LoginHistoryFaults, LogOver4GiB) {
#ifdef LOGIN_HISTORY_EMULATED
    GTEST_SKIP() << "under qemu the binary opens files as a 64-bit process does, so this "
                    "cannot fail here; the native i386 run is what proves large files";
#endif
    const scratch_dir var_log("/dev/shm");
    ASSERT_FALSE(var_log.path.empty());
    const std::int64_t records = (std::int64_t{1} << 32) / LOGIN_RECORD_SIZE + 2;
    const std::vector<test_record> ends = {{.line = "first", .time = 1},
                                           {.line = "last", .time = 2}};
    const auto first = encode_test_record(ends[0]);
    const auto last = encode_test_record(ends[1]);
    const int fd = open((var_log.path + "/wtmp").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    const auto size = static_cast<ssize_t>(LOGIN_RECORD_SIZE);
    ASSERT_EQ(pwrite(fd, first.data(), first.size(), 0), size);
    ASSERT_EQ(pwrite(fd, last.data(), last.size(), (records - 1) * size), size);
    close(fd);

    const outcome result = run({.var_log = var_log.path}, {"root"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, report_of(ends, "root"));
}

TEST_F(LoginHistoryFaults, NoMemoryErrorsOrLeaksUnderValgrind) {
#ifdef LOGIN_HISTORY_SANITIZED
    GTEST_SKIP() << "valgrind cannot run a sanitized binary";
#endif
#ifdef LOGIN_HISTORY_CROSS_BUILT
    GTEST_SKIP() << "valgrind cannot run a cross-built binary here: not one of another "
                    "architecture under qemu, and an i386 one only with the i386 C library's "
                    "debugging symbols, which need a multiarch setup";
#endif
    REQUIRE_TOOL("valgrind");
    const std::vector<std::string> valgrind = {"valgrind",
                                               "-q",
                                               "--error-exitcode=99",
                                               "--leak-check=full",
                                               "--show-leak-kinds=all",
                                               "--errors-for-leak-kinds=all"};
    const std::vector<test_record> records = {
        {.user = "root"}, {.user = "alice"}, {.user = "root", .time = -5}};
    const std::string log = test_log(records) + "partial";
    struct {
        const char* name;
        scene setup;
        int status;
        std::string out;
    } const cases[] = {
        {"a report", {.log = log, .wrapper = valgrind}, 0, report_of(records, "root")},
        {"output fails",
         {.log = log, .output = output_kind::dev_full, .wrapper = valgrind},
         255,
         ""},
        {"the log is a directory", {.kind = log_kind::directory, .wrapper = valgrind}, 255, ""},
        {"no log", {.kind = log_kind::missing, .wrapper = valgrind}, 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const outcome result = run(c.setup, {"root"});
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, "");
    }
}

}  // namespace
