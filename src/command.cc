#include "command.h"

#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace {

// Each name with the blank that follows it in the time text.
constexpr char WEEKDAY_NAMES[] = "Sun Mon Tue Wed Thu Fri Sat ";
constexpr char MONTH_NAMES[] = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec ";

// "00" to "99", two characters each: the time text's fields are copied
// from here rather than divided out.
constexpr std::array<char, 200> TWO_DIGITS = [] {
    std::array<char, 200> digits{};
    for (std::size_t i = 0; i < 100; ++i) {
        digits[2 * i] = static_cast<char>('0' + i / 10);
        digits[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return digits;
}();

// The helpers below that put a piece of the line are always inlined,
// whatever the optimizer's own choice: GCC 14 at -O2 calls them, and the
// calls cost a line over 30 instructions, an eighth of the program's own.

// Signed decimal: a minus sign when negative, no padding.
[[gnu::always_inline]] inline char* put_decimal(char* out, std::int16_t value) {
    // Most types and exit values have one digit; to_chars costs a line
    // about 30 instructions more for them.
    if (value >= 0 && value < 10) {
        *out = static_cast<char>('0' + value);
        return out + 1;
    }
    // Six characters hold every 16-bit value, sign included.
    return std::to_chars(out, out + 6, value).ptr;
}

// `value` from 0 to 99, as two digits.
[[gnu::always_inline]] inline char* put_two_digits(char* out, int value) {
    std::memcpy(out, &TWO_DIGITS[static_cast<std::size_t>(value) * 2], 2);
    return out + 2;
}

// Decimal digits, a minus sign when negative, and a newline: the time text
// of a time that the C library cannot convert, as ls(1) prints one.
char* put_seconds(char* out, std::int64_t seconds) {
    // Twenty characters hold every 64-bit value, sign included.
    out = std::to_chars(out, out + 20, seconds).ptr;
    *out++ = '\n';
    return out;
}

// "Thu Jan  1 00:00:00 1970\n": the record's time converted afresh by the
// C library, laid out as asctime(3) lays it out: the day of the month
// right-aligned in three columns, the year in as many digits as it needs.
[[gnu::always_inline]] inline char* put_time_text(char* out, std::int64_t seconds) {
    const auto when = static_cast<std::time_t>(seconds);
    std::tm local;
    // localtime_r fails where the year does not fit an int, and asctime
    // where the year plus 1900 would not.
    if (when != seconds || localtime_r(&when, &local) == nullptr ||
        local.tm_year > INT_MAX - 1900) {
        return put_seconds(out, seconds);
    }
    std::memcpy(out, &WEEKDAY_NAMES[static_cast<std::size_t>(local.tm_wday) * 4], 4);
    std::memcpy(out + 4, &MONTH_NAMES[static_cast<std::size_t>(local.tm_mon) * 4], 4);
    out += 8;
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
    const int year = local.tm_year + 1900;
    if (year >= 1000 && year <= 9999) {  // every 32-bit time, in any zone
        out = put_two_digits(out, year / 100);
        out = put_two_digits(out, year % 100);
    } else {
        // Eleven characters hold every int, sign included.
        out = std::to_chars(out, out + 11, year).ptr;
    }
    *out++ = '\n';
    return out;
}

// Landlock's rights from ABI 3 on, as the kernel numbers them: Debian 12's headers stop at ABI 2.
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0)
#define LANDLOCK_ACCESS_NET_CONNECT_TCP (1ULL << 1)
#endif
#ifndef LANDLOCK_SCOPE_SIGNAL
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif

// struct landlock_ruleset_attr of ABI 6, whose later fields older headers lack. The kernel takes
// the size it is given, and fields it does not know must be zero.
struct ruleset_attributes {
    std::uint64_t handled_access_fs, handled_access_net, scoped;
};

}  // namespace

void confine_scan() {
    // ENOSYS where the kernel (or qemu) has no Landlock; EOPNOTSUPP where it is turned off. And
    // unprivileged, a process may restrict itself only once no exec can raise its privileges.
    const long abi =
        syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || abi < 1) {
        return;
    }
    // Every right of the kernel's ABI, and no rule to grant any; a right that the kernel does not
    // know would make it refuse the ruleset. Each ABI adds file-system rights above the last.
    const std::uint64_t newest_fs_right[] = {
        LANDLOCK_ACCESS_FS_MAKE_SYM, LANDLOCK_ACCESS_FS_REFER, LANDLOCK_ACCESS_FS_TRUNCATE,
        LANDLOCK_ACCESS_FS_TRUNCATE, LANDLOCK_ACCESS_FS_IOCTL_DEV};
    const ruleset_attributes handled{
        .handled_access_fs = newest_fs_right[(abi < 5 ? abi : 5) - 1] * 2 - 1,
        .handled_access_net =
            abi >= 4 ? LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP : 0,
        .scoped = abi >= 6 ? LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET | LANDLOCK_SCOPE_SIGNAL : 0};
    const long ruleset = syscall(SYS_landlock_create_ruleset, &handled, sizeof handled, 0);
    if (ruleset >= 0) {
        (void)syscall(SYS_landlock_restrict_self, ruleset, 0);
        close(static_cast<int>(ruleset));
    }
}

report_line format_report_line(const login_record& record) {
    report_line line;
    char* const start = line.bytes.data();
    char* out = start;
    out = put_decimal(out, record.type);
    *out++ = ';';
    // The whole field is copied, a fixed size, and then only the text's
    // length counted: the bytes past it are overwritten or lie past the end.
    static_assert(7 + LOGIN_TEXT_SIZE <= REPORT_LINE_MAX, "after \"-32768;\" the field fits");
    std::memcpy(out, record.line.field.data(), LOGIN_TEXT_SIZE);
    out += record.line.view().size();
    *out++ = ';';
    out = put_decimal(out, record.termination);
    *out++ = ';';
    out = put_decimal(out, record.exit);
    *out++ = ';';
    out = put_time_text(out, record.time);
    line.length = static_cast<std::size_t>(out - start);
    return line;
}

bool close_output(std::FILE* out) {
    // Flushed apart from the close, so that a close of a descriptor closed
    // from the start is told from a write to it.
    const bool flushed = std::fflush(out) == 0 && std::ferror(out) == 0;
    if (std::fclose(out) == 0) {
        return flushed;
    }
    return flushed && errno == EBADF;
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
