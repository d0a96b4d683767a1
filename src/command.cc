#include "command.h"

#include <cstdint>
#include <cstring>
#include <ctime>

namespace {

constexpr std::array<const char*, 7> WEEKDAY_NAMES = {"Sun", "Mon", "Tue", "Wed",
                                                      "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 12> MONTH_NAMES = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Signed decimal: a minus sign when negative, no padding.
char* put_decimal(char* out, std::int64_t value) {
    std::uint64_t magnitude = value < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(value)
                                        : static_cast<std::uint64_t>(value);
    char digits[20];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) {
        *out++ = '-';
    }
    while (count > 0) {
        *out++ = digits[--count];
    }
    return out;
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

// "Thu Jan  1 00:00:00 1970\n": the layout of ctime(3), whose day of the
// month is right-aligned in three columns.
char* put_time_text(char* out, std::int32_t seconds) {
    const std::time_t when = seconds;  // sign-extends: negative is before the epoch
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr) {
        // Cannot happen for a 32-bit count with a 64-bit time_t; keep the
        // line well-formed regardless, in UTC.
        gmtime_r(&when, &local);
    }
    out = put_name(out, WEEKDAY_NAMES[static_cast<std::size_t>(local.tm_wday)]);
    *out++ = ' ';
    out = put_name(out, MONTH_NAMES[static_cast<std::size_t>(local.tm_mon)]);
    *out++ = ' ';
    if (local.tm_mday < 10) {
        *out++ = ' ';
        *out++ = static_cast<char>('0' + local.tm_mday);
    } else {
        out = put_two_digits(out, local.tm_mday);
    }
    *out++ = ' ';
    out = put_two_digits(out, local.tm_hour);
    *out++ = ':';
    out = put_two_digits(out, local.tm_min);
    *out++ = ':';
    out = put_two_digits(out, local.tm_sec);
    *out++ = ' ';
    out = put_decimal(out, std::int64_t{local.tm_year} + 1900);
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
        if (std::fwrite(line.bytes.data(), 1, line.length, out) != line.length) {
            return false;
        }
    }
}
