#include "command.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "test_log.h"

namespace {

void use_time_zone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
}

login_record record_of(const test_record& fields) {
    return decode_login_record(encode_test_record(fields));
}

TEST(FormatReportLine, Pieces) {
    const std::string FULL_32 = "abcdefghijklmnopqrstuvwxyz012345";
    struct {
        const char* tz;
        test_record record;
        std::string line;
    } const cases[] = {
        {"UTC0",
         {.type = 7, .line = "tty1", .user = "root", .time = 0},
         "7;tty1;0;0;Thu Jan  1 00:00:00 1970\n"},
        {"UTC0",
         {.type = -1, .termination = -32768, .exit = -1, .time = 0},
         "-1;tty1;-32768;-1;Thu Jan  1 00:00:00 1970\n"},
        {"UTC0",
         {.type = 32767, .termination = 12, .exit = 32767, .time = 0},
         "32767;tty1;12;32767;Thu Jan  1 00:00:00 1970\n"},
        {"UTC0", {.line = ""}, "7;;0;0;Thu Jan  1 00:00:00 1970\n"},
        {"UTC0", {.line = "a;b\xE9\x1B"}, "7;a;b\xE9\x1B;0;0;Thu Jan  1 00:00:00 1970\n"},
        {"UTC0", {.line = FULL_32 + "dropped"}, "7;" + FULL_32 + ";0;0;Thu Jan  1 00:00:00 1970\n"},
        {"UTC0", {.time = 1000000000}, "7;tty1;0;0;Sun Sep  9 01:46:40 2001\n"},
        {"UTC0", {.time = 1234567890}, "7;tty1;0;0;Fri Feb 13 23:31:30 2009\n"},
        {"UTC0", {.time = -1}, "7;tty1;0;0;Wed Dec 31 23:59:59 1969\n"},
        {"UTC0", {.time = INT32_MIN}, "7;tty1;0;0;Fri Dec 13 20:45:52 1901\n"},
        {"UTC0", {.time = INT32_MAX}, "7;tty1;0;0;Tue Jan 19 03:14:07 2038\n"},
        // The farthest zones keep the year at four digits at both ends.
        {"<+14>-14", {.time = INT32_MAX}, "7;tty1;0;0;Tue Jan 19 17:14:07 2038\n"},
        {"<-12>12", {.time = INT32_MIN}, "7;tty1;0;0;Fri Dec 13 08:45:52 1901\n"},
        {"EST5EDT,M3.2.0,M11.1.0", {.time = 0}, "7;tty1;0;0;Wed Dec 31 19:00:00 1969\n"},
        {"EST5EDT,M3.2.0,M11.1.0", {.time = 1689000000}, "7;tty1;0;0;Mon Jul 10 10:40:00 2023\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        use_time_zone(c.tz);
        EXPECT_EQ(format_report_line(record_of(c.record)).view(), c.line);
    }
}

// A scan reuses the time text of a minute for the records that fall in it.
// Around changes of UTC offset, a leap second, old odd-second offsets and
// times that step backwards, every line must be what a fresh conversion of
// the record alone gives.
TEST(FormatReportLine, ReusedMinutesMatchFreshConversions) {
    struct {
        const char* tz;
        std::int32_t around;  // a transition
    } const cases[] = {
        {"Europe/Berlin", 1679792400},                           // 2023 spring forward
        {"Europe/Berlin", 1698541200},                           // 2023 fall back
        {"Australia/Lord_Howe", 1680361200},                     // half an hour back
        {"Europe/Amsterdam", -1025745572},                       // 1937: +1:19:32 to +1:20
        {"right/UTC", 1483228826},                               // the leap second ending 2016
        {"AAA-0:19:32BBB-0:20,M3.5.0/2,M10.5.0/3", 1679794828},  // odd seconds, no zone file
    };
    const std::int32_t steps[] = {1, 7, 29, 59, 61, -13};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tz);
        if (c.tz[0] != 'A') {
            ASSERT_TRUE(std::filesystem::exists(std::string("/usr/share/zoneinfo/") + c.tz))
                << "the zone files of Debian's tzdata are needed";
        }
        use_time_zone(c.tz);
        for (const std::int32_t step : steps) {
            time_text_cache cache;
            const std::int32_t first = step > 0 ? c.around - 400 : c.around + 400;
            for (std::int32_t t = first; t >= c.around - 400 && t <= c.around + 400; t += step) {
                const login_record record = record_of({.time = t});
                ASSERT_EQ(format_report_line(record, cache).view(),
                          format_report_line(record).view())
                    << "time " << t << ", step " << step;
            }
        }
    }
}

TEST(FormatReportLine, LongestLineFitsExactly) {
    use_time_zone("UTC0");
    const report_line line = format_report_line(record_of(
        {.type = -32768, .line = std::string(32, 'x'), .termination = -32768, .exit = -32768}));
    EXPECT_EQ(line.length, REPORT_LINE_MAX);
}

TEST(SelectsRecord, ExactBytesOnly) {
    const std::string FULL_32 = "abcdefghijklmnopqrstuvwxyz012345";
    struct {
        std::string record_user;
        std::string name;
        bool selected;
    } const cases[] = {
        {"root", "root", true},
        {"Root", "root", false},
        {"ro", "root", false},
        {"rootx", "root", false},
        {"root", "", false},
        {"", "", true},
        {"-n", "-n", true},
        {FULL_32, FULL_32, true},
        {FULL_32, FULL_32 + "x", false},
        {FULL_32, FULL_32.substr(0, 31), false},
        {"\xC3\xA9", "\xC3\xA9", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.record_user + " / " + c.name);
        EXPECT_EQ(selects_record(c.name, record_of({.user = c.record_user})), c.selected);
    }
}

}  // namespace
