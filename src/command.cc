#include "command.h"

#include <cstdint>
#include <cstring>
#include <ctime>

namespace {

constexpr std::array<const char*, 7> WEEKDAY_NAMES = {"Sun", "Mon", "Tue", "Wed",
                                                      "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 12> MONTH_NAMES = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Where the two digits of the seconds stand in the time text.
constexpr std::size_t SECONDS_AT = 17;

// Signed decimal: a minus sign when negative, no padding.
char* put_decimal(char* out, std::int64_t value) {
    std::uint64_t magnitude = value < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(value)
                                        : static_cast<std::uint64_t>(value);
    if (value < 0) {
        *out++ = '-';
    }
    if (magnitude < 10) {  // most types and exit values: worth the shortcut
        *out++ = static_cast<char>('0' + magnitude);
        return out;
    }
    char digits[20];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
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

std::tm local_time(std::int64_t seconds) {
    const auto when = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr) {
        // Cannot happen for a 32-bit count with a 64-bit time_t; keep the
        // line well-formed regardless, in UTC.
        gmtime_r(&when, &local);
    }
    return local;
}

// "Thu Jan  1 00:00:00 1970\n": the layout of ctime(3), whose day of the
// month is right-aligned in three columns.
char* put_time_fields(char* out, const std::tm& local) {
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

bool same_minute(const std::tm& a, const std::tm& b) {
    return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday &&
           a.tm_hour == b.tm_hour && a.tm_min == b.tm_min;
}

// True when the cached minute's 60 seconds read as its seconds 0 to 59. A
// change of UTC offset inside the minute (daylight saving time, or an old
// zone's odd-second offset) moves its last second off 59 or into another
// minute; a leap second is second 60 and so falls outside.
bool minute_is_regular(const time_text_cache& cache) {
    const std::tm first = local_time(cache.minute_start);
    const std::tm last = local_time(cache.minute_start + 59);
    return first.tm_sec == 0 && last.tm_sec == 59 && same_minute(first, cache.minute) &&
           same_minute(last, cache.minute);
}

char* put_time_text(char* out, std::int32_t seconds, time_text_cache& cache) {
    using state = time_text_cache::state;
    const std::int64_t when = seconds;  // sign-extends: negative is before the epoch
    const std::int64_t into_minute = when - cache.minute_start;
    if (cache.status != state::empty && into_minute >= 0 && into_minute < 60) {
        // The minute is checked once, when it is first reused, so that a
        // log whose records are minutes apart pays for one conversion each.
        if (cache.status == state::unchecked) {
            cache.status = minute_is_regular(cache) ? state::checked : state::empty;
        }
        if (cache.status == state::checked) {
            std::memcpy(out, cache.text.data(), TIME_TEXT_SIZE);
            put_two_digits(out + SECONDS_AT, static_cast<int>(into_minute));
            return out + TIME_TEXT_SIZE;
        }
    }
    const std::tm local = local_time(when);
    char* const end = put_time_fields(out, local);  // TIME_TEXT_SIZE bytes
    std::memcpy(cache.text.data(), out, TIME_TEXT_SIZE);
    cache.minute = local;
    cache.minute_start = when - local.tm_sec;
    cache.status = state::unchecked;
    return end;
}

}  // namespace

bool selects_record(std::string_view user_name, const login_record& record) {
    return record.user.view() == user_name;
}

report_line format_report_line(const login_record& record, time_text_cache& cache) {
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
    out = put_time_text(out, record.time, cache);
    line.length = static_cast<std::size_t>(out - start);
    return line;
}

report_line format_report_line(const login_record& record) {
    time_text_cache fresh;
    return format_report_line(record, fresh);
}

bool report_user_history(std::FILE* log, std::FILE* out, std::string_view user_name) {
    time_text_cache cache;
    for (;;) {
        const login_read next = read_login_record(log);
        if (next.status != read_status::record) {
            return next.status == read_status::end;
        }
        if (!selects_record(user_name, next.record)) {
            continue;
        }
        const report_line line = format_report_line(next.record, cache);
        if (fwrite_unlocked(line.bytes.data(), 1, line.length, out) != line.length) {
            return false;
        }
    }
}
