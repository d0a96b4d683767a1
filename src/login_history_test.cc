// End-to-end tests of the built login-history binary, each run with its own
// /var/log (see test_run.h).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_log.h"
#include "test_run.h"

namespace {

using enum log_kind;
using enum output_kind;

const std::string SOME_LOG = test_log({{.user = "root"}, {.user = "alice"}});
const std::string ROOT_LINE = "7;tty1;0;0;Thu Jan  1 00:00:00 1970\n";
const std::string LARGE_LOG = test_log(std::vector<test_record>(5000));  // over stdout's buffer

TEST_F(LoginHistory, StatusAndOutput) {
    expect_runs({
        {"no argument", {.log = SOME_LOG}, {}, {.status = 1}},
        {"two arguments", {.log = SOME_LOG}, {"root", "alice"}, {.status = 1}},
        {"missing log", {.kind = missing}, {"root"}, {.status = 1}},
        {"a directory: read error", {.kind = directory}, {"root"}, {.status = 255}},
        {"nobody may not",
         {.log = SOME_LOG, .mode = 0600, .as_nobody = true},
         {"root"},
         {.status = 1}},
        {"nobody may read", {.log = SOME_LOG, .as_nobody = true}, {"root"}, {.out = ROOT_LINE}},
        {"empty log", {.log = ""}, {"root"}, {}},
        {"readable log", {.log = SOME_LOG}, {"root"}, {.out = ROOT_LINE}},
        {"user that matches nothing", {.log = SOME_LOG}, {"nobody"}, {}},
        {"/dev/full, a line due", {.log = SOME_LOG, .output = dev_full}, {"root"}, {.status = 255}},
        {"/dev/full, lines due", {.log = LARGE_LOG, .output = dev_full}, {"root"}, {.status = 255}},
        {"/dev/full, nothing due", {.log = SOME_LOG, .output = dev_full}, {"bob"}, {}},
        {"closed, a line due", {.log = SOME_LOG, .output = closed}, {"root"}, {.status = 255}},
        {"closed, nothing due", {.log = SOME_LOG, .output = closed}, {"bob"}, {}},
        {"broken pipe", {.log = LARGE_LOG, .output = broken_pipe}, {"root"}, {.status = 255}},
    });
}

// Reading a zone file takes a descriptor: with only one free beside the
// standard three, the zone and the log must both be had, never a report in
// the wrong zone. (With none free the dynamic loader itself cannot start
// the program.) The report needs no more stack than a small limit gives.
TEST_F(LoginHistory, UnderTightLimits) {
#ifdef LOGIN_HISTORY_EMULATED
    GTEST_SKIP() << "qemu holds descriptors and stack of its own: the limits would be qemu's";
#endif
    expect_runs({
        {"one descriptor free",
         {.log = SOME_LOG, .tz = "America/Adak", .limits = {{RLIMIT_NOFILE, 4}}},
         {"root"},
         {.out = "7;tty1;0;0;Wed Dec 31 13:00:00 1969\n"}},
        {"32 KiB of stack",
         {.log = SOME_LOG, .limits = {{RLIMIT_STACK, 32 << 10}}},
         {"root"},
         {.out = ROOT_LINE}},
    });
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
            {.type = -2, .line = "pts/0;x\xE9\x7F", .termination = -2, .exit = -1, .time = -86400},
            {.line = TEXT_32, .user = TEXT_32, .time = 1000000000},
            {.line = TEXT_31, .user = TEXT_31, .time = 2000000000},
            {.line = "tty1", .user = "root", .time = 100},
        }) +
        test_log({{.user = "root"}}).substr(0, 200);  // a record still being written
    const std::string tty1 = "7;tty1;0;0;Thu Jan  1 00:01:40 1970\n";
    const std::string epoch = ";0;0;Thu Jan  1 00:00:00 1970\n";
    const std::pair<std::string, std::string> cases[] = {
        {"root", tty1 + "-2;pts/0;x\xE9\x7F;-2;-1;Wed Dec 31 00:00:00 1969\n" + tty1},
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
    for (const zone_changes& zone : ZONE_CHANGES) {
        std::vector<test_record> records;
        for (const std::int64_t t : seconds_around(zone, 60)) {
            records.push_back({.time = t});
        }
        EXPECT_EQ(run({.log = test_log(records), .tz = zone.tz}, {"root"}),
                  outcome{.out = expected_report(records, "root")})
            << zone.tz;
    }
}

// The log as the host's own C library writes it (updwtmpx) and reads it back
// (getutxent), in the host's record form: the report is the C library's
// reading, line by line, for every user in it and in several zones, which
// change the time texts and nothing else. Times beyond 32 bits are stored
// cut to 32 bits in a 384-byte record.
TEST_F(LoginHistory, ReadsTheLogAsTheCLibraryWritesIt) {
    std::vector<test_record> rows;
    for (std::int16_t type = 0; type <= 9; ++type) {  // EMPTY to ACCOUNTING
        rows.push_back({.type = type, .line = "tty" + std::to_string(type), .time = 1700000000});
    }
    for (const std::int64_t time : {std::int64_t{INT32_MIN}, std::int64_t{-1}, std::int64_t{0},
                                    std::int64_t{1689000000}, std::int64_t{INT32_MAX}, 2147483648,
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
    ASSERT_FALSE(var_log.path.empty());
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

}  // namespace
