// End-to-end tests of the built login-history binary. Each run gets its own
// /var/log, a bind mount of a scratch directory inside a private mount
// namespace, so the machine's real log is never read or touched.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "test_log.h"
#include "test_run.h"

namespace {

const std::string SOME_LOG = test_log({{.user = "root"}, {.user = "alice"}});
const std::string ROOT_LINE = "7;tty1;0;0;Thu Jan  1 00:00:00 1970\n";

TEST_F(LoginHistory, StartsOnlyWithOneArgumentAndAReadableLog) {
    struct {
        const char* name;
        scene setup;
        std::vector<std::string> args;
        int status;
        std::string out;
    } const cases[] = {
        {"no argument", {.log = SOME_LOG}, {}, 1, ""},
        {"two arguments", {.log = SOME_LOG}, {"root", "alice"}, 1, ""},
        {"missing log", {.kind = log_kind::missing}, {"root"}, 1, ""},
        {"log is a directory: read error", {.kind = log_kind::directory}, {"root"}, 255, ""},
        {"empty log", {.log = ""}, {"root"}, 0, ""},
        {"readable log", {.log = SOME_LOG}, {"root"}, 0, ROOT_LINE},
        {"user that matches nothing", {.log = SOME_LOG}, {"nobody"}, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const outcome result = run(c.setup, c.args);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, "");
    }
}

TEST_F(LoginHistory, LogTheUserCannotRead) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the binary as an unprivileged user";
    }
    const outcome result = run({.log = SOME_LOG, .mode = 0600, .as_nobody = true}, {"root"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    // The same log readable by the same user: the refusal above was the mode.
    EXPECT_EQ(run({.log = SOME_LOG, .mode = 0644, .as_nobody = true}, {"root"}).out, ROOT_LINE);
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
            {.type = -2,
             .line = "pts/0;x\xE9\x7F",
             .user = "root",
             .termination = -2,
             .exit = -1,
             .time = -86400},
            {.line = TEXT_32, .user = TEXT_32, .time = 1000000000},
            {.line = TEXT_31, .user = TEXT_31, .time = 2000000000},
            {.line = "tty1", .user = "root", .time = 100},
        }) +
        test_log({{.user = "root"}}).substr(0, 200);  // a record still being written
    struct {
        std::string name;
        std::string out;
    } const cases[] = {
        {"root",
         "7;tty1;0;0;Thu Jan  1 00:01:40 1970\n"
         "-2;pts/0;x\xE9\x7F;-2;-1;Wed Dec 31 00:00:00 1969\n"
         "7;tty1;0;0;Thu Jan  1 00:01:40 1970\n"},
        {"Root", "7;tty2;0;0;Thu Jan  1 00:00:00 1970\n"},
        {"ro", "7;tty3;0;0;Thu Jan  1 00:00:00 1970\n"},
        {"rootx", "7;tty4;0;0;Thu Jan  1 00:00:00 1970\n"},
        {"", "8;;1;2;Thu Jan  1 00:00:00 1970\n"},
        {"-n", "7;pts/9;0;0;Thu Jan  1 00:00:00 1970\n"},
        {TEXT_32, "7;" + TEXT_32 + ";0;0;Sun Sep  9 01:46:40 2001\n"},
        {TEXT_32 + "6", ""},
        {TEXT_31, "7;" + TEXT_31 + ";0;0;Wed May 18 03:33:20 2033\n"},
        {"ROOT", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const outcome result = run({.log = log}, {c.name});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, "");
    }
}

TEST_F(LoginHistory, TimeZoneChangesOnlyTheTimeTexts) {
    // Both ends of the 32-bit range and the second before the epoch too.
    const std::string log = test_log({
        {.type = 7, .line = "pts/1", .user = "alice", .time = 1689000000},
        {.type = 8, .line = "pts/1", .user = "alice", .exit = 3, .time = 1700000000},
        {.user = "alice", .time = INT32_MIN},
        {.user = "alice", .time = -1},
        {.user = "alice", .time = INT32_MAX},
    });
    struct {
        const char* tz;
        std::string out;
    } const cases[] = {
        {"UTC0",
         "7;pts/1;0;0;Mon Jul 10 14:40:00 2023\n"
         "8;pts/1;0;3;Tue Nov 14 22:13:20 2023\n"
         "7;tty1;0;0;Fri Dec 13 20:45:52 1901\n"
         "7;tty1;0;0;Wed Dec 31 23:59:59 1969\n"
         "7;tty1;0;0;Tue Jan 19 03:14:07 2038\n"},
        {"EST5EDT,M3.2.0,M11.1.0",
         "7;pts/1;0;0;Mon Jul 10 10:40:00 2023\n"
         "8;pts/1;0;3;Tue Nov 14 17:13:20 2023\n"
         "7;tty1;0;0;Fri Dec 13 15:45:52 1901\n"
         "7;tty1;0;0;Wed Dec 31 18:59:59 1969\n"
         "7;tty1;0;0;Mon Jan 18 22:14:07 2038\n"},
        {"America/New_York",
         "7;pts/1;0;0;Mon Jul 10 10:40:00 2023\n"
         "8;pts/1;0;3;Tue Nov 14 17:13:20 2023\n"
         "7;tty1;0;0;Fri Dec 13 15:45:52 1901\n"
         "7;tty1;0;0;Wed Dec 31 18:59:59 1969\n"
         "7;tty1;0;0;Mon Jan 18 22:14:07 2038\n"},
        {"<+14>-14",
         "7;pts/1;0;0;Tue Jul 11 04:40:00 2023\n"
         "8;pts/1;0;3;Wed Nov 15 12:13:20 2023\n"
         "7;tty1;0;0;Sat Dec 14 10:45:52 1901\n"
         "7;tty1;0;0;Thu Jan  1 13:59:59 1970\n"
         "7;tty1;0;0;Tue Jan 19 17:14:07 2038\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tz);
        const outcome result = run({.log = log, .tz = c.tz}, {"alice"});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, c.out);
    }
}

// Consecutive seconds across changes of UTC offset come out as the C
// library's own ctime text, byte for byte: in zones with many changes, odd
// seconds or leap seconds, and under TZ rules whose summer time starts and
// ends within one minute.
TEST_F(LoginHistory, TimeTextsAcrossOffsetChangesAreTheCLibrarys) {
    struct {
        const char* tz;
        std::vector<std::int64_t> changes;
    } const cases[] = {
        {"America/Adak", {-5745600, 420037200}},                  // 1969 fall back, 1983 spring
        {"Europe/Dublin", {-1691962479, -1680471279, 57722400}},  // 1916 odd seconds; 1971
        {"Australia/Lord_Howe", {1111849200, 1130599800}},        // half-hour summer time
        {"Antarctica/Troll", {1111885200, 1130634000}},           // two-hour summer time
        {"right/UTC", {1483228826}},                              // the leap second ending 2016
        {"AAA0BBB,J100/0:00:10,J100/1:00:40", {1712707210}},
        {"AST4ADT,M3.2.0/2:00:10,M3.2.0/3:00:40", {5724010}},
        {"AAA-0:19:32BBB-0:20,M3.5.0/2,M10.5.0/3", {1679794828, 1698547200}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tz);
        setenv("TZ", c.tz, 1);
        tzset();
        std::vector<test_record> records;
        std::string expected;
        for (const std::int64_t change : c.changes) {
            ASSERT_GT(irregular_seconds(change - 60, change + 60), 0)
                << "nothing changes at " << change;
            for (std::int64_t t = change - 60; t <= change + 60; ++t) {
                records.push_back({.time = t});
                expected += "7;tty1;0;0;" + libc_time_text(t);
            }
        }
        const outcome result = run({.log = test_log(records), .tz = c.tz}, {"root"});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, expected);
    }
}

// The log as the host's own C library writes it (updwtmpx) and reads it back
// (getutxent), in the host's record form: the report is the C library's
// reading, line by line, for every user in it and in several zones. Times
// beyond 32 bits are stored cut to 32 bits in a 384-byte record.
TEST_F(LoginHistory, ReadsTheLogAsTheCLibraryWritesIt) {
    std::vector<test_record> rows;
    for (std::int16_t type = 0; type <= 9; ++type) {  // EMPTY to ACCOUNTING
        rows.push_back({.type = type, .line = "tty" + std::to_string(type), .time = 1700000000});
    }
    const std::int64_t times[] = {INT32_MIN,  -1,          0,          INT32_MAX,
                                  2147483648, -2208988800, 4102444800, 253402300800,
                                  INT64_MAX,  INT64_MIN};
    for (const std::int64_t time : times) {
        rows.push_back({.line = "pts/1", .user = "alice", .time = time});
    }
    rows.push_back({.type = 8, .line = "pts/1", .user = "", .termination = -1, .exit = -32768});
    rows.push_back({.line = TEXT_32, .user = TEXT_32, .termination = 15, .exit = 255});
    rows.push_back(
        {.line = "ttyAMA0", .user = "pi", .termination = 1, .exit = 2, .time = 1700000000});
    rows.push_back({.type = 8, .line = "ttyAMA0", .user = "pi", .time = 1700003600});

    const scratch_dir var_log;
    ASSERT_FALSE(var_log.path.empty());
    const std::vector<test_record> stored = written_by_the_c_library(var_log.path + "/wtmp", rows);
    ASSERT_EQ(stored.size(), rows.size());
    for (const char* tz : {"UTC0", "America/New_York", "<+14>-14"}) {
        setenv("TZ", tz, 1);
        tzset();
        for (const std::string user : {"root", "alice", "", "pi", TEXT_32.c_str()}) {
            SCOPED_TRACE(std::string(tz) + ", user " + user);
            std::string expected;
            for (const test_record& r : stored) {
                if (r.user == user) {
                    expected += std::to_string(r.type) + ';' + r.line + ';' +
                                std::to_string(r.termination) + ';' + std::to_string(r.exit) + ';' +
                                libc_time_text(r.time);
                }
            }
            EXPECT_NE(expected, "");
            const outcome result = run({.var_log = var_log.path, .tz = tz}, {user});
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(result.out, expected);
        }
    }
}

// Reading a zone file takes a descriptor. With only one free beside the
// standard three, the zone and the log must both be had: never a report in
// the wrong zone. (With none free the dynamic loader itself cannot start
// the program.)
TEST_F(LoginHistory, ZoneAndLogWithOneDescriptorFree) {
#ifdef LOGIN_HISTORY_EMULATED
    GTEST_SKIP() << "qemu holds descriptors of its own: the limit would be qemu's, not the "
                    "program's";
#endif
    const outcome result = run({.log = SOME_LOG, .tz = "America/Adak", .open_files = 4}, {"root"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "7;tty1;0;0;Wed Dec 31 13:00:00 1969\n");
    EXPECT_EQ(result.err, "");
}

TEST_F(LoginHistory, OutputThatCannotBeWrittenIsAFailure) {
    std::vector<test_record> many(5000, test_record{.user = "root"});
    const std::string small = SOME_LOG;
    const std::string large = test_log(many);  // more than stdout's buffer holds
    struct {
        const char* name;
        scene setup;
        std::string user;
        int status;
    } const cases[] = {
        {"/dev/full, one line due", {.log = small, .output = output_kind::dev_full}, "root", 255},
        {"/dev/full, many lines due", {.log = large, .output = output_kind::dev_full}, "root", 255},
        {"/dev/full, nothing due", {.log = small, .output = output_kind::dev_full}, "bob", 0},
        {"closed stdout, one line due", {.log = small, .output = output_kind::closed}, "root", 255},
        {"closed stdout, nothing due", {.log = small, .output = output_kind::closed}, "bob", 0},
        {"broken pipe, SIGPIPE ignored",
         {.log = large, .output = output_kind::broken_pipe},
         "root",
         255},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const outcome result = run(c.setup, {c.user});
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.err, "");
    }
}

}  // namespace
