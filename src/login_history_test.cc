// End-to-end tests of the built login-history binary. Each run gets its own
// /var/log, a bind mount of a scratch directory inside a private mount
// namespace, so the machine's real log is never read or touched.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_log.h"
#include "test_run.h"

namespace {

class LoginHistory : public ::testing::Test {
  protected:
    void SetUp() override { require_namespaces(); }
};

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
    const std::string FULL_32 = "abcdefghijklmnopqrstuvwxyz012345";
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
            {.line = FULL_32, .user = FULL_32, .time = 1000000000},
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
        {FULL_32, "7;" + FULL_32 + ";0;0;Sun Sep  9 01:46:40 2001\n"},
        {FULL_32 + "6", ""},
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
    const std::string log = test_log({
        {.type = 7, .line = "pts/1", .user = "alice", .time = 1689000000},
        {.type = 8, .line = "pts/1", .user = "alice", .exit = 3, .time = 1700000000},
    });
    struct {
        const char* tz;
        std::string out;
    } const cases[] = {
        {"UTC0", "7;pts/1;0;0;Mon Jul 10 14:40:00 2023\n8;pts/1;0;3;Tue Nov 14 22:13:20 2023\n"},
        {"EST5EDT,M3.2.0,M11.1.0",
         "7;pts/1;0;0;Mon Jul 10 10:40:00 2023\n8;pts/1;0;3;Tue Nov 14 17:13:20 2023\n"},
        {"<+14>-14",
         "7;pts/1;0;0;Tue Jul 11 04:40:00 2023\n8;pts/1;0;3;Wed Nov 15 12:13:20 2023\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tz);
        const outcome result = run({.log = log, .tz = c.tz}, {"alice"});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, c.out);
    }
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
