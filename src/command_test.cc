#include "command.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "test_log.h"
#include "test_run.h"

namespace {

void use_time_zone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
}

login_record record_of(const test_record& fields) {
    return decode_in_form(FORM_400_LITTLE, encode_test_record(fields, FORM_400_LITTLE));
}

TEST(FormatReportLine, Pieces) {
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
        {"UTC0",
         {.type = 10, .termination = -10, .exit = 9, .time = 0},
         "10;tty1;-10;9;Thu Jan  1 00:00:00 1970\n"},
        {"UTC0",
         {.type = -10, .termination = 99, .exit = 100, .time = 0},
         "-10;tty1;99;100;Thu Jan  1 00:00:00 1970\n"},
        {"UTC0",
         {.type = -32768, .termination = 32767, .exit = -9, .time = 0},
         "-32768;tty1;32767;-9;Thu Jan  1 00:00:00 1970\n"},
        {"UTC0", {.line = TEXT_31}, "7;" + TEXT_31 + ";0;0;Thu Jan  1 00:00:00 1970\n"},
        {"UTC0", {.line = ""}, "7;;0;0;Thu Jan  1 00:00:00 1970\n"},
        {"UTC0", {.line = "a;b\xE9\x1B"}, "7;a;b\xE9\x1B;0;0;Thu Jan  1 00:00:00 1970\n"},
        {"UTC0", {.line = TEXT_32 + "dropped"}, "7;" + TEXT_32 + ";0;0;Thu Jan  1 00:00:00 1970\n"},
        {"UTC0", {.time = 1000000000}, "7;tty1;0;0;Sun Sep  9 01:46:40 2001\n"},
        {"UTC0", {.time = 1234567890}, "7;tty1;0;0;Fri Feb 13 23:31:30 2009\n"},
        {"UTC0", {.time = -1}, "7;tty1;0;0;Wed Dec 31 23:59:59 1969\n"},
        {"UTC0", {.time = INT32_MIN}, "7;tty1;0;0;Fri Dec 13 20:45:52 1901\n"},
        {"UTC0", {.time = INT32_MAX}, "7;tty1;0;0;Tue Jan 19 03:14:07 2038\n"},
        // The farthest zones keep the year at four digits at both ends.
        {"<+14>-14", {.time = INT32_MAX}, "7;tty1;0;0;Tue Jan 19 17:14:07 2038\n"},
        {"<-12>12", {.time = INT32_MIN}, "7;tty1;0;0;Fri Dec 13 08:45:52 1901\n"},
        {"EST5EDT,M3.2.0,M11.1.0", {.time = 0}, "7;tty1;0;0;Wed Dec 31 19:00:00 1969\n"},
        // Beyond 32 bits the year takes as many digits as it needs.
        {"UTC0", {.time = 2147483648}, "7;tty1;0;0;Tue Jan 19 03:14:08 2038\n"},
        {"UTC0", {.time = -2208988800}, "7;tty1;0;0;Mon Jan  1 00:00:00 1900\n"},
        {"UTC0", {.time = 253402300800}, "7;tty1;0;0;Sat Jan  1 00:00:00 10000\n"},
        {"UTC0", {.time = -30641760000}, "7;tty1;0;0;Tue Jan  1 00:00:00 999\n"},
        {"UTC0", {.time = -62167219200}, "7;tty1;0;0;Sat Jan  1 00:00:00 0\n"},
        {"UTC0", {.time = -62198755200}, "7;tty1;0;0;Fri Jan  1 00:00:00 -1\n"},
        {"UTC0", {.time = 67767976233532799}, "7;tty1;0;0;Tue Dec 31 23:59:59 2147483647\n"},
        {"UTC0", {.time = -67768040609740800}, "7;tty1;0;0;Thu Jan  1 00:00:00 -2147481748\n"},
        // Where the year does not fit an int: the count of seconds.
        {"UTC0", {.time = 67767976233532800}, "7;tty1;0;0;67767976233532800\n"},
        {"UTC0", {.time = -67768040609740801}, "7;tty1;0;0;-67768040609740801\n"},
        {"UTC0", {.time = INT64_MAX}, "7;tty1;0;0;9223372036854775807\n"},
        {"UTC0", {.time = INT64_MIN}, "7;tty1;0;0;-9223372036854775808\n"},
        {"EST5EDT,M3.2.0,M11.1.0", {.time = 1689000000}, "7;tty1;0;0;Mon Jul 10 10:40:00 2023\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        use_time_zone(c.tz);
        EXPECT_EQ(format_report_line(record_of(c.record)).view(), c.line);
    }
}

// Every second across changes of UTC offset gives the C library's own
// ctime text, byte for byte, also where a change starts and ends within one
// minute and where offsets have odd seconds.
TEST(FormatReportLine, TimeTextIsTheCLibrarys) {
    struct {
        const char* tz;
        std::int64_t around;  // a change of offset
    } const cases[] = {
        // Summer time for 30 seconds, 00:00:10 to 00:00:40 local on 10 April 2024.
        {"AAA0BBB,J100/0:00:10,J100/1:00:40", 1712707210},
        // Summer time from 2:00:10 to 3:00:40 on 8 March 1970: 30 s later an
        // hour and 30 s are gone.
        {"AST4ADT,M3.2.0/2:00:10,M3.2.0/3:00:40", 5724010},
        // UTC offsets of +0:19:32 and +0:20, changing on the last Sundays.
        {"AAA-0:19:32BBB-0:20,M3.5.0/2,M10.5.0/3", 1679794828},
        {"AAA-0:19:32BBB-0:20,M3.5.0/2,M10.5.0/3", 1698547200},
        {"Europe/Berlin", 1679792400},      // 2023 spring forward
        {"Europe/Amsterdam", -1025745572},  // 1937: +1:19:32 to +1:20
        {"right/UTC", 1483228826},          // the leap second ending 2016
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tz);
        use_time_zone(c.tz);
        ASSERT_GT(irregular_seconds(c.around - 120, c.around + 120), 0) << "no change to cross";
        for (std::int64_t t = c.around - 120; t <= c.around + 120; ++t) {
            const std::string line = std::string(format_report_line(record_of({.time = t})).view());
            ASSERT_EQ(line, "7;tty1;0;0;" + libc_time_text(t)) << "time " << t;
        }
    }
}

TEST(FormatReportLine, LongestLineFitsExactly) {
    use_time_zone("UTC0");
    const report_line line = format_report_line(record_of({.type = -32768,
                                                           .line = std::string(32, 'x'),
                                                           .termination = -32768,
                                                           .exit = -32768,
                                                           .time = -67768040609740800}));
    EXPECT_EQ(line.length, REPORT_LINE_MAX);
}

TEST(SelectsRecord, ExactBytesOnly) {
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
        {TEXT_32, TEXT_32, true},
        {TEXT_32, TEXT_32 + "x", false},
        {TEXT_32, TEXT_31, false},
        {TEXT_31, TEXT_31, true},
        {TEXT_31, TEXT_32, false},
        {"\xC3\xA9", "\xC3\xA9", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.record_user + " / " + c.name);
        EXPECT_EQ(selects_record(c.name, record_of({.user = c.record_user})), c.selected);
    }
}

}  // namespace
