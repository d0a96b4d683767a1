// The report command: selects one user's records from the login log and
// writes a semicolon-separated line for each.
#pragma once

#include <array>
#include <cstddef>
#include <cstdio>
#include <string_view>

#include "login_record.h"

// The log's path is fixed; nothing changes it.
inline constexpr char WTMP_PATH[] = "/var/log/wtmp";

// Exit statuses.
inline constexpr int STATUS_OK = 0;
// Wrong argument count, or the log could not be opened; nothing was written.
inline constexpr int STATUS_NOT_STARTED = 1;
// The log was opened but reading it, writing the report or closing the log
// failed; the lines already written stand.
inline constexpr int STATUS_FAILED = 255;

// Longest line: three 16-bit values with sign and ';', a full 32-byte line
// text and ';', and the 25-byte time text.
inline constexpr std::size_t REPORT_LINE_MAX = 3 * 7 + LOGIN_TEXT_SIZE + 1 + 25;

struct report_line {
    std::array<char, REPORT_LINE_MAX> bytes{};
    std::size_t length = 0;

    std::string_view view() const { return {bytes.data(), length}; }
};

// True when the record's user text is exactly `user_name`, byte for byte.
bool selects_record(std::string_view user_name, const login_record& record);

// "type;line;termination;exit;time text\n", where the time text is the
// record's time in local time, laid out as ctime(3) lays it out, in English
// whatever the locale. Call tzset() once before the first line.
report_line format_report_line(const login_record& record);

// Reads `log` to its end and writes to `out` the line of every record that
// `user_name` selects, in log order. Stops early if a write fails. Returns
// true when the log was read to a normal end and every write succeeded.
bool report_user_history(std::FILE* log, std::FILE* out, std::string_view user_name);
