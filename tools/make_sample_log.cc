// make_sample_log PATH: writes a small, plausible login log to PATH, to try login-history on: two
// days of a host, 30 and 31 March 2024, across Europe's change to summer time.
#include <utmpx.h>  // the record types

#include <cstdio>
#include <vector>

#include "test_log.h"

namespace {

constexpr std::int32_t START = 1711785492;  // Sat 30 Mar 2024 07:58:12 UTC

struct event {
    std::int32_t after;  // seconds after START
    std::int16_t type;
    const char* line;
    const char* user;
    const char* host;
    std::int16_t termination = 0;
    std::int16_t exit = 0;
};

// Logouts leave the user field empty, as login services write them.
const std::vector<event> EVENTS = {
    {0, BOOT_TIME, "~", "reboot", "6.1.0-18-amd64"},
    {9, LOGIN_PROCESS, "tty1", "LOGIN", ""},
    {412, USER_PROCESS, "tty1", "root", ""},
    {1260, USER_PROCESS, "pts/0", "alice", "192.0.2.17"},
    {1268, DEAD_PROCESS, "tty1", "", ""},
    {2101, USER_PROCESS, "pts/1", "bob", "198.51.100.4"},
    {7380, DEAD_PROCESS, "pts/1", "", "", 0, 1},
    {9002, DEAD_PROCESS, "pts/0", "", ""},
    {30720, USER_PROCESS, "pts/0", "carol", "203.0.113.250"},
    {38467, DEAD_PROCESS, "pts/0", "", ""},
    // Sunday 31 March: clocks in Europe go forward at 01:00 UTC.
    {64990, RUN_LVL, "~", "shutdown", "6.1.0-18-amd64"},
    {65040, BOOT_TIME, "~", "reboot", "6.1.0-21-amd64"},
    {65050, LOGIN_PROCESS, "tty1", "LOGIN", ""},
    {86977, USER_PROCESS, "pts/0", "alice", "192.0.2.17"},
    {96022, DEAD_PROCESS, "pts/0", "", ""},
    {112650, USER_PROCESS, "pts/1", "bob", "2001:db8::17"},
};

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fputs("usage: make_sample_log PATH\n", stderr);
        return 2;
    }
    std::vector<test_record> records;
    for (const event& e : EVENTS) {
        records.push_back({e.type, e.line, e.user, e.termination, e.exit, START + e.after, e.host});
    }
    const std::string log = test_log(records);
    std::FILE* out = std::fopen(argv[1], "w");
    if (out == nullptr || std::fwrite(log.data(), 1, log.size(), out) != log.size() ||
        std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
