#include "command.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace {

constexpr std::array<const char*, 7> WEEKDAY_NAMES = {"Sun", "Mon", "Tue", "Wed",
                                                      "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 12> MONTH_NAMES = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Signed decimal: a minus sign when negative, no padding.
char* put_decimal(char* out, std::int16_t value) {
    // Six characters hold every 16-bit value, sign included.
    return std::to_chars(out, out + 6, value).ptr;
}

char* put_two_digits(char* out, int value) {
    *out++ = static_cast<char>('0' + value / 10);
    *out++ = static_cast<char>('0' + value % 10);
    return out;
}

char* put_name(char* out, const char* name) {
    std::memcpy(out, name, 3);
    return out + 3;
}

// "Thu Jan  1 00:00:00 1970\n": the record's time converted afresh by the C
// library, laid out as ctime(3) lays it out (the day of the month
// right-aligned in three columns). The year has four digits: a 32-bit time
// (1901 to 2038) moved by any 32-bit UTC offset a zone can hold stays
// within the years 1833 to 2106.
char* put_time_text(char* out, std::int32_t seconds) {
    const std::time_t when = seconds;  // sign-extends: negative is before the epoch
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr) {
        // Only a year beyond int fails, which no 32-bit time reaches; keep
        // the line well-formed regardless, in UTC.
        gmtime_r(&when, &local);
    }
    out = put_name(out, WEEKDAY_NAMES[static_cast<std::size_t>(local.tm_wday)]);
    *out++ = ' ';
    out = put_name(out, MONTH_NAMES[static_cast<std::size_t>(local.tm_mon)]);
    *out++ = ' ';
    *out++ = local.tm_mday < 10 ? ' ' : static_cast<char>('0' + local.tm_mday / 10);
    *out++ = static_cast<char>('0' + local.tm_mday % 10);
    *out++ = ' ';
    out = put_two_digits(out, local.tm_hour);
    *out++ = ':';
    out = put_two_digits(out, local.tm_min);
    *out++ = ':';
    out = put_two_digits(out, local.tm_sec);
    *out++ = ' ';
    const int year = local.tm_year + 1900;
    out = put_two_digits(out, year / 100);
    out = put_two_digits(out, year % 100);
    *out++ = '\n';
    return out;
}

}  // namespace

bool selects_record(std::string_view user_name, const login_record& record) {
    return record.user.view() == user_name;
}

report_line format_report_line(const login_record& record) {
    report_line line;
    char* const start = line.bytes.data();
    char* out = start;
    out = put_decimal(out, record.type);
    *out++ = ';';
    std::memcpy(out, record.line.bytes.data(), record.line.length);
    out += record.line.length;
    *out++ = ';';
    out = put_decimal(out, record.termination);
    *out++ = ';';
    out = put_decimal(out, record.exit);
    *out++ = ';';
    out = put_time_text(out, record.time);
    line.length = static_cast<std::size_t>(out - start);
    return line;
}

bool report_user_history(std::FILE* log, std::FILE* out, std::string_view user_name) {
    for (;;) {
        const login_read next = read_login_record(log);
        if (next.status != read_status::record) {
            return next.status == read_status::end;
        }
        if (!selects_record(user_name, next.record)) {
            continue;
        }
        const report_line line = format_report_line(next.record);
        // A line-buffered stream (a terminal) counts a line as written once
        // it is in the buffer, even when passing it on then fails: only the
        // error flag tells.
        if (fwrite_unlocked(line.bytes.data(), 1, line.length, out) != line.length ||
            ferror_unlocked(out) != 0) {
            return false;
        }
    }
}
