// The built binary, each run with its own /var/log (see test_run.h): as users
// run it, and under the faults that the log and its readers meet.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "test_log.h"
#include "test_run.h"

namespace {

using enum log_kind;
using enum output_kind;

const std::string SOME_LOG = test_log({{.user = "root"}, {.user = "alice"}});
const std::string ROOT_LINE = "7;tty1;0;0;Thu Jan  1 00:00:00 1970\n";
const std::vector<test_record> LARGE(5000);  // a report over stdout's buffer
const std::string LARGE_LOG = test_log(LARGE);

TEST_F(LoginHistory, StatusAndOutput) {
    expect_runs({
        {"no argument", {.log = SOME_LOG}, {}, {.status = 1}},
        {"two arguments", {.log = SOME_LOG}, {"root", "alice"}, {.status = 1}},
        {"missing log", {.kind = missing}, {"root"}, {.status = 1}},
        {"a directory: read error", {.kind = directory}, {"root"}, {.status = 255}},
        {"unreadable", {.log = SOME_LOG, .mode = 0600, .as_nobody = true}, {"root"}, {.status = 1}},
        {"nobody may read", {.log = SOME_LOG, .as_nobody = true}, {"root"}, {.out = ROOT_LINE}},
        {"empty log", {.log = ""}, {"root"}, {}},
        {"readable log", {.log = SOME_LOG}, {"root"}, {.out = ROOT_LINE}},
        {"user that matches nothing", {.log = SOME_LOG}, {"nobody"}, {}},
        {"/dev/full, a line due", {.log = SOME_LOG, .output = dev_full}, {"root"}, {.status = 255}},
        {"/dev/full, lines due", {.log = LARGE_LOG, .output = dev_full}, {"root"}, {.status = 255}},
        {"/dev/full, nothing due", {.log = SOME_LOG, .output = dev_full}, {"bob"}, {}},
        {"closed, a line due", {.log = SOME_LOG, .output = closed}, {"root"}, {.status = 255}},
        {"closed, nothing due", {.log = SOME_LOG, .output = closed}, {"bob"}, {}},
        {"broken pipe, SIGPIPE ignored",
         {.log = LARGE_LOG, .output = broken_pipe},
         {"root"},
         {.status = 255}},
        // Killed as any filter is, the report cut where the reader left it.
        {"head -n 1, SIGPIPE at its default",
         {.log = LARGE_LOG, .output = head_pipe},
         {"root"},
         {.status = 128 + SIGPIPE, .out = ROOT_LINE}},
    });
}

// One descriptor free (with none the loader cannot start) gives the zone and
// the log, never a report in the wrong zone; a small stack is enough.
TEST_F(LoginHistory, UnderTightLimits) {
#ifdef LOGIN_HISTORY_EMULATED
    GTEST_SKIP() << "qemu holds descriptors and stack of its own: the limits would be qemu's";
#endif
    // Without the zone's file the C library gives UTC, and the row only the log's descriptor.
    const std::optional<std::string> no_zone = zone_missing({"America/Adak", {}, "tzdata"});
    expect_runs({
        {"one descriptor free",
         {.log = SOME_LOG, .tz = "America/Adak", .limits = {{RLIMIT_NOFILE, 4}}},
         {"root"},
         {.out = no_zone ? ROOT_LINE : "7;tty1;0;0;Wed Dec 31 13:00:00 1969\n"}},
        {"32 KiB of stack",
         {.log = SOME_LOG, .limits = {{RLIMIT_STACK, 32 << 10}}},
         {"root"},
         {.out = ROOT_LINE}},
        {"ulimit -f of 4 KiB, SIGXFSZ at its default",
         {.log = LARGE_LOG, .limits = {{RLIMIT_FSIZE, 4096}}},
         {"root"},
         {.status = 128 + SIGXFSZ, .out = expected_report(LARGE, "root").substr(0, 4096)}},
    });
    SKIP_OR_FAIL_IF(no_zone);
}

TEST_F(LoginHistory, SelectsExactlyTheNamedUserInLogOrder) {
    const std::string log =
        test_log({
            {.line = "tty1", .user = "root", .time = 100},
            {.line = "tty2", .user = "Root"},
            {.line = "tty3", .user = "ro"},
            {.line = "tty4", .user = "rootx"},
            {.type = 8, .line = "", .user = "", .termination = 1, .exit = 2},
            {.line = "pts/9", .user = "-n"},
            {.type = -2, .line = "pts/0;x\xE9\x7F", .termination = -2, .exit = -1, .time = 86400},
            {.line = TEXT_32, .user = TEXT_32, .time = 1000000000},
            {.line = TEXT_31, .user = TEXT_31, .time = 2000000000},
            {.line = "tty1", .user = "root", .time = 100},
        }) +
        test_log({{.user = "root"}}).substr(0, 200);  // a record still being written
    const std::string tty1 = "7;tty1;0;0;Thu Jan  1 00:01:40 1970\n";
    const std::string epoch = ";0;0;Thu Jan  1 00:00:00 1970\n";
    const std::pair<std::string, std::string> cases[] = {
        {"root", tty1 + "-2;pts/0;x\xE9\x7F;-2;-1;Fri Jan  2 00:00:00 1970\n" + tty1},
        {"Root", "7;tty2" + epoch},
        {"ro", "7;tty3" + epoch},
        {"rootx", "7;tty4" + epoch},
        {"", "8;;1;2;Thu Jan  1 00:00:00 1970\n"},
        {"-n", "7;pts/9" + epoch},
        {TEXT_32, "7;" + TEXT_32 + ";0;0;Sun Sep  9 01:46:40 2001\n"},
        {TEXT_32 + "6", ""},
        {TEXT_31, "7;" + TEXT_31 + ";0;0;Wed May 18 03:33:20 2033\n"},
        {"ROOT", ""},
    };
    for (const auto& [user, out] : cases) {
        SCOPED_TRACE(user);
        EXPECT_EQ(run({.log = log}, {user}), outcome{.out = out});
    }
}

// Consecutive seconds across changes of UTC offset come out as the C
// library's own time text, byte for byte.
TEST_F(LoginHistory, TimeTextsAcrossOffsetChangesAreTheCLibrarys) {
    std::optional<std::string> missing;
    for (const zone_changes& zone : installed_zones(missing)) {
        std::vector<test_record> records;
        for (const std::int64_t t : seconds_around(zone, 60)) {
            records.push_back({.time = t});
        }
        EXPECT_EQ(run({.log = test_log(records), .tz = zone.tz}, {"root"}),
                  outcome{.out = expected_report(records, "root")})
            << zone.tz;
    }
    SKIP_OR_FAIL_IF(missing);
}

// The log as the host's C library writes it (updwtmpx): the report is the C library's own reading
// of it (getutxent), for every user and in several zones. A 384-byte record keeps 32 bits of a
// time, signed or not as the C library declares them: 3000000000 is in 1928 or in 2065.
TEST_F(LoginHistory, ReadsTheLogAsTheCLibraryWritesIt) {
    std::vector<test_record> rows;
    for (std::int16_t type = 0; type <= 9; ++type) {  // EMPTY to ACCOUNTING
        rows.push_back({.type = type, .line = "tty" + std::to_string(type), .time = 1700000000});
    }
    for (const std::int64_t time :
         std::vector<std::int64_t>{INT32_MIN, -1, 0, 1689000000, INT32_MAX, 2147483648, 3000000000,
                                   -2208988800, 4102444800, 253402300800, INT64_MAX, INT64_MIN}) {
        rows.push_back({.line = "pts/1", .user = "alice", .time = time});
    }
    rows.push_back({.type = 8, .line = "pts/1", .user = "alice", .exit = 3, .time = 1700000000});
    rows.push_back({.type = 8, .line = "pts/1", .user = "", .termination = -1, .exit = -32768});
    rows.push_back({.line = TEXT_32, .user = TEXT_32, .termination = 15, .exit = 255});
    rows.push_back(
        {.line = "ttyAMA0", .user = "pi", .termination = 1, .exit = 2, .time = 1700000000});
    rows.push_back({.type = 8, .line = "ttyAMA0", .user = "pi", .time = 1700003600});

    const scratch_dir var_log;
    const std::vector<test_record> stored = written_by_the_c_library(var_log.path + "/wtmp", rows);
    ASSERT_EQ(stored.size(), rows.size());
    for (const char* tz : {"UTC0", "America/New_York", "EST5EDT,M3.2.0,M11.1.0", "<+14>-14"}) {
        use_time_zone(tz);
        for (const std::string user : {"root", "alice", "", "pi", TEXT_32.c_str()}) {
            SCOPED_TRACE(std::string(tz) + ", user " + user);
            const std::string expected = expected_report(stored, user);
            EXPECT_NE(expected, "");
            EXPECT_EQ(run({.var_log = var_log.path, .tz = tz}, {user}), outcome{.out = expected});
        }
    }
}

// strace, running the binary with `faults` injected; the binary dies with strace, which a tracer's
// death alone would leave running. A sanitized binary's leak check cannot run under ptrace.
std::vector<std::string> strace(const std::vector<std::string>& faults,
                                const std::string& output = "/dev/null") {
    std::vector<std::string> words = {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-qq", "-o",
                                      output};
    words.insert(words.end(), faults.begin(), faults.end());
    words.insert(words.end(), {"setpriv", "--pdeathsig", "KILL", "--"});
    return words;
}

TEST_F(LoginHistory, InjectedFaultsEndInStatus255) {
    SKIP_OR_FAIL_IF(tool_missing("strace"));
    // More than the 1 MiB that the binary reads, and the 64 KiB it writes, at once.
    std::vector<test_record> records;
    for (std::int32_t i = 0; i < 5000; ++i) {
        records.push_back({.line = "pts/" + std::to_string(i % 7), .time = 1700000000 + 60 * i});
    }
    const std::string log = test_log(records);
    const std::string full = expected_report(records, "root");
    const std::size_t first_read = (1 << 20) / LOGIN_RECORD_SIZE;  // whole records in it
    const std::string after_first_read =
        expected_report({records.begin(), records.begin() + first_read}, "root");
    const std::string LOG = "/var/log/wtmp";
    const std::tuple<std::string, std::string, std::string> cases[] = {
        // calls on this file only ("" for every call), fault, output
        {LOG, "read:error=EIO:when=1", ""},
        {LOG, "read:error=EIO:when=2", after_first_read},
        {LOG, "close:error=EIO", full},
        // As NFS reports a full disk: only at close.
        {CAPTURED_STDOUT_PATH, "close:error=EDQUOT", full},
        {"", "write:error=ENOSPC", ""},
        // A write that fails once: the report must not go on with a hole.
        {"", "write:error=EIO:when=2", full.substr(0, 65536)},
        {"", "write:error=ENOSPC:when=2+", full.substr(0, 65536)},
        {"", "write:error=EIO:when=3+", full.substr(0, 2 * 65536)},
    };
    for (const auto& [path, inject, out] : cases) {
        std::vector<std::string> faults = {"-e", "inject=" + inject};
        if (!path.empty()) {
            faults.insert(faults.begin(), {"-P", path});
        }
        EXPECT_EQ(run({.log = log, .wrapper = strace(faults)}, {"root"}),
                  (outcome{.status = 255, .out = out}))
            << path << ": " << inject;
    }
}

// At its first time conversion the binary can open, make, connect and signal nothing that the
// kernel's Landlock (or qemu's) forbids; where there is none, is off or refused, runs are plain.
TEST_F(LoginHistory, ConfinedOnceTheLogIsOpen) {
    SKIP_OR_FAIL_IF(tool_missing("strace"));
    const long abi = std::max(0L, syscall(SYS_landlock_create_ruleset, nullptr, 0, 1));
    // Refused from the ABI that handles it on; else done, or, for port 1, refused by the network.
    const std::string file = abi >= 1 ? "EACCES" : "0";
    const std::string tries = "open " + file + ", create " + file + ", connect " +
                              (abi >= 4 ? "EACCES" : "ECONNREFUSED") + ", signal " +
                              (abi >= 6 ? "EPERM" : "0") + ", no_new_privs 1\n";
    std::string preload = "LD_PRELOAD=" LOGIN_HISTORY_PROBE;
#ifdef LOGIN_HISTORY_EMULATED
    preload = "QEMU_SET_ENV=" + preload;  // for the program alone, not qemu's own loader
#endif
    const auto injected = [](std::string f) { return strace({"-e", "inject=landlock_" + f}); };
    std::vector<run_case> cases = {
        {"probed", {.wrapper = {"env", preload}}, {}, {.err = tries}},
        {"no Landlock", {.wrapper = injected("create_ruleset:error=ENOSYS")}},
        {"Landlock off", {.wrapper = injected("create_ruleset:error=EOPNOTSUPP")}},
        {"refused", {.wrapper = injected("restrict_self:error=EPERM")}}};
    for (run_case& c : cases) {
        c.setup.log = SOME_LOG;
        c.args = {"root"};
        c.expected.out = ROOT_LINE;
    }
    expect_runs(cases);
    if (abi == 0) {
        GTEST_SKIP() << "no Landlock here (qemu 7.2 and 10.0 have none): the binary ran unconfined";
    }
}

// On a terminal each line goes out as it is made; one that could not be
// passed on fails the run, though the line-buffered stream took it.
TEST_F(LoginHistory, LinesReachATerminalOneAtATime) {
    SKIP_OR_FAIL_IF(tool_missing("strace"));
    const std::vector<test_record> records = {
        {.time = 1}, {.user = "alice"}, {.time = 2}, {.time = 3}};
    const std::string full = expected_report(records, "root");
    const scratch_dir trace_dir;
    const std::string trace = trace_dir.path + "/writes";
    const std::string first = full.substr(0, full.find('\n') + 1);
    const std::tuple<std::string, outcome, int> cases[] = {
        // fault, outcome, writes to stdout
        {"trace=write", {.out = full}, 3},
        {"inject=write:error=EIO:when=2", {.status = 255, .out = first}, 2},
    };
    for (const auto& [fault, expected, writes] : cases) {
        const scene setup{.log = test_log(records),
                          .output = terminal,
                          .wrapper = strace({"-e", "trace=write", "-e", fault}, trace)};
        EXPECT_EQ(run(setup, {"root"}), expected) << fault;
        std::ifstream traced(trace);
        int count = 0;
        for (std::string line; std::getline(traced, line);) {
            count += line.starts_with("write(1,") ? 1 : 0;
        }
        EXPECT_EQ(count, writes) << fault;
    }
}

// While a writer appends records a piece at a time, every run reports whole
// lines of whole records, a prefix of the final report, and succeeds.
TEST_F(LoginHistory, AppendsWhileReading) {
    const scratch_dir var_log;
    const int log_fd = open((var_log.path + "/wtmp").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(log_fd, 0);
    std::vector<test_record> records;
    for (std::int32_t i = 0; i < 4000; ++i) {
        records.push_back({.type = static_cast<std::int16_t>(i % 2 == 0 ? 7 : 8),
                           .user = i % 3 == 0 ? "alice" : "root",
                           .time = 1700000000 + 17 * i});
    }
    const std::string full = expected_report(records, "root");

    const pid_t test_process = getpid();
    const pid_t writer = fork();
    if (writer == 0) {
        // Dies with the test process, unless that ended before the signal was asked for.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != test_process) {
            _exit(1);
        }
        for (const test_record& record : records) {
            const std::string bytes = encode_test_record(record);
            for (std::size_t from = 0; from < bytes.size(); from += 150) {
                const std::size_t piece = std::min<std::size_t>(150, bytes.size() - from);
                if (write(log_fd, bytes.data() + from, piece) != static_cast<ssize_t>(piece)) {
                    _exit(1);
                }
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
    GTEST_SKIP() << "qemu opens files as a 64-bit process does; cross/run checks for fopen64";
#endif
    const scratch_dir var_log("/dev/shm");
    const auto size = static_cast<ssize_t>(LOGIN_RECORD_SIZE);
    const std::int64_t records = (std::int64_t{1} << 32) / size + 2;
    const std::vector<test_record> ends = {{.line = "first", .time = 1},
                                           {.line = "last", .time = 2}};
    const int fd = open((var_log.path + "/wtmp").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, encode_test_record(ends[0]).data(), size, 0), size);
    ASSERT_EQ(pwrite(fd, encode_test_record(ends[1]).data(), size, (records - 1) * size), size);
    close(fd);
    EXPECT_EQ(run({.var_log = var_log.path}, {"root"}),
              outcome{.out = expected_report(ends, "root")});
}

TEST_F(LoginHistory, NoMemoryErrorsOrLeaksUnderValgrind) {
#ifdef LOGIN_HISTORY_SANITIZED
    GTEST_SKIP() << "valgrind cannot run a sanitized binary";
#endif
#ifdef LOGIN_HISTORY_CROSS_BUILT
    GTEST_SKIP() << "valgrind runs no foreign binary under qemu, and an i386 one only with the "
                    "i386 C library's debugging symbols, which need a multiarch setup";
#endif
    SKIP_OR_FAIL_IF(tool_missing("valgrind"));
    const std::vector<test_record> records = {
        {.user = "root"}, {.user = "alice"}, {.user = "root", .time = -5}};
    const std::string log = test_log(records) + "partial";
    std::vector<run_case> cases = {
        {"a report", {.log = log}, {"root"}, {.out = expected_report(records, "root")}},
        {"output fails", {.log = log, .output = dev_full}, {"root"}, {.status = 255}},
        {"the log is a directory", {.kind = directory}, {"root"}, {.status = 255}},
        {"no log", {.kind = missing}, {"root"}, {.status = 1}},
    };
    for (run_case& c : cases) {
        c.setup.wrapper = {
            "valgrind", "-q", "--error-exitcode=99", "--leak-check=full", "--show-leak-kinds=all",
            "--errors-for-leak-kinds=all",
            // Its status tells of any error or leak; 3.19 would warn of each Landlock call.
            "--log-file=/dev/null"};
    }
    expect_runs(cases);
}

}  // namespace
