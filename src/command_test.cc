#include "command.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "test_log.h"
#include "test_run.h"

namespace {

// Decoded from the 400-byte form, whose time holds every 64-bit value.
login_record record_of(const test_record& fields) {
    return decode_from_heap<FORM_400_LITTLE>(encode_test_record(fields, FORM_400_LITTLE));
}

std::string line_of(const test_record& fields) {
    return std::string(format_report_line(record_of(fields)).view());
}

TEST(FormatReportLine, Pieces) {
    const std::string DEFAULTS = "7;tty1;0;0;";  // the pieces that most rows leave as they are
    const std::tuple<std::string, test_record, std::string> cases[] = {
        // zone, record, line
        {"UTC0", {}, DEFAULTS + "Thu Jan  1 00:00:00 1970\n"},
        {"UTC0", {.type = -1, .termination = -32768, .exit = -1}, "-1;tty1;-32768;-1;"},
        {"UTC0", {.type = 32767, .termination = 12, .exit = 32767}, "32767;tty1;12;32767;"},
        {"UTC0", {.type = 10, .termination = -10, .exit = 9}, "10;tty1;-10;9;"},
        {"UTC0", {.type = -10, .termination = 99, .exit = 100}, "-10;tty1;99;100;"},
        {"UTC0", {.type = -32768, .termination = 32767, .exit = -9}, "-32768;tty1;32767;-9;"},
        {"UTC0", {.line = TEXT_31}, "7;" + TEXT_31 + ";0;0;"},
        {"UTC0", {.line = ""}, "7;;0;0;"},
        {"UTC0", {.line = "a;b\xE9\x1B"}, "7;a;b\xE9\x1B;0;0;"},
        {"UTC0", {.line = TEXT_32 + "dropped"}, "7;" + TEXT_32 + ";0;0;"},
        {"UTC0", {.time = 1000000000}, DEFAULTS + "Sun Sep  9 01:46:40 2001\n"},
        {"UTC0", {.time = 1234567890}, DEFAULTS + "Fri Feb 13 23:31:30 2009\n"},
        {"UTC0", {.time = -1}, DEFAULTS + "Wed Dec 31 23:59:59 1969\n"},
        {"UTC0", {.time = INT32_MIN}, DEFAULTS + "Fri Dec 13 20:45:52 1901\n"},
        {"UTC0", {.time = INT32_MAX}, DEFAULTS + "Tue Jan 19 03:14:07 2038\n"},
        // The farthest zones keep a 32-bit time's year at four digits.
        {"<+14>-14", {.time = INT32_MAX}, DEFAULTS + "Tue Jan 19 17:14:07 2038\n"},
        {"<-12>12", {.time = INT32_MIN}, DEFAULTS + "Fri Dec 13 08:45:52 1901\n"},
        {"EST5EDT,M3.2.0,M11.1.0", {.time = 0}, DEFAULTS + "Wed Dec 31 19:00:00 1969\n"},
        {"EST5EDT,M3.2.0,M11.1.0", {.time = 1689000000}, DEFAULTS + "Mon Jul 10 10:40:00 2023\n"},
        // Beyond 32 bits the year takes as many digits as it needs.
        {"UTC0", {.time = 2147483648}, DEFAULTS + "Tue Jan 19 03:14:08 2038\n"},
        {"UTC0", {.time = -2208988800}, DEFAULTS + "Mon Jan  1 00:00:00 1900\n"},
        {"UTC0", {.time = 253402300800}, DEFAULTS + "Sat Jan  1 00:00:00 10000\n"},
        {"UTC0", {.time = -30641760000}, DEFAULTS + "Tue Jan  1 00:00:00 999\n"},
        {"UTC0", {.time = -62167219200}, DEFAULTS + "Sat Jan  1 00:00:00 0\n"},
        {"UTC0", {.time = -62198755200}, DEFAULTS + "Fri Jan  1 00:00:00 -1\n"},
        {"UTC0", {.time = 67767976233532799}, DEFAULTS + "Tue Dec 31 23:59:59 2147483647\n"},
        {"UTC0", {.time = -67768040609740800}, DEFAULTS + "Thu Jan  1 00:00:00 -2147481748\n"},
        // Where the year does not fit an int: the count of seconds.
        {"UTC0", {.time = 67767976233532800}, DEFAULTS + "67767976233532800\n"},
        {"UTC0", {.time = -67768040609740801}, DEFAULTS + "-67768040609740801\n"},
        {"UTC0", {.time = INT64_MAX}, DEFAULTS + "9223372036854775807\n"},
        {"UTC0", {.time = INT64_MIN}, DEFAULTS + "-9223372036854775808\n"},
    };
    for (const auto& [tz, record, line] : cases) {
        use_time_zone(tz);
        // Rows that end before the time have the epoch's, in UTC.
        EXPECT_EQ(line_of(record), line.back() == ';' ? line + "Thu Jan  1 00:00:00 1970\n" : line)
            << tz;
    }
}

// Every second across changes of UTC offset gives the C library's own time
// text, byte for byte; and the longest line fills the line's buffer exactly.
TEST(FormatReportLine, TimeTextIsTheCLibrarys) {
    std::optional<std::string> missing;
    for (const zone_changes& zone : installed_zones(missing)) {
        for (const std::int64_t t : seconds_around(zone, 120)) {
            ASSERT_EQ(line_of({.time = t}), "7;tty1;0;0;" + libc_time_text(t))
                << zone.tz << " " << t;
        }
    }
    use_time_zone("UTC0");
    EXPECT_EQ(format_report_line(record_of({.type = -32768,
                                            .line = std::string(32, 'x'),
                                            .termination = -32768,
                                            .exit = -32768,
                                            .time = -67768040609740800}))
                  .length,
              REPORT_LINE_MAX);
    SKIP_OR_FAIL_IF(missing);
}

TEST(SelectsRecord, ExactBytesOnly) {
    const std::tuple<std::string, std::string, bool> cases[] = {
        // record's user, name, selected
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
        {"", "root", false},
        {"xoot", "root", false},
    };
    for (const auto& [record_user, name, selected] : cases) {
        EXPECT_EQ(selects_record(name, record_of({.user = record_user})), selected)
            << record_user << " / " << name;
    }
}

}  // namespace
