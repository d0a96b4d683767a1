// The report command: selects one user's records from the login log and
// writes a semicolon-separated line for each.
#pragma once

#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "login_record.h"

// The log's path is fixed; nothing changes it.
inline constexpr char WTMP_PATH[] = "/var/log/wtmp";

// Longest time text: "Www Mmm dd hh:mm:ss " and a year of an int's
// eleven characters, "-2147481748", and the newline. Every time in the
// 32-bit range has a year of four digits and a text of 25 characters.
inline constexpr std::size_t TIME_TEXT_MAX = 20 + 11 + 1;

// Longest line: three 16-bit values with sign and ';', a full 32-byte line
// text and ';', and the time text.
inline constexpr std::size_t REPORT_LINE_MAX =
    std::size_t{3} * 7 + LOGIN_TEXT_SIZE + 1 + TIME_TEXT_MAX;

struct report_line {
    std::array<char, REPORT_LINE_MAX> bytes;  // only the first `length` are set
    std::size_t length = 0;

    std::string_view view() const { return {bytes.data(), length}; }
};

// True when the record's user text is exactly `user_name`, byte for byte.
// `user_name` holds no NUL, as no command-line argument can.
inline bool selects_record(std::string_view user_name, const login_record& record) {
    // The text is the name when the field holds the name's bytes followed by
    // a NUL, or by nothing where the name fills the field. Looked at in that
    // order, most other users' records are told apart by one or two bytes.
    const std::size_t size = user_name.size();
    const auto& field = record.user.field;
    return size <= LOGIN_TEXT_SIZE && (size == LOGIN_TEXT_SIZE || field[size] == '\0') &&
           (size == 0 || field[0] == user_name[0]) &&
           std::memcmp(field.data(), user_name.data(), size) == 0;
}

// "type;line;termination;exit;time text\n", where the time text is the
// record's time in local time, laid out as asctime(3) lays it out, in
// English whatever the locale, with the year in as many digits as it needs.
// Where the C library cannot convert the time (its year would not fit an
// int), the time text is the count of seconds in decimal and a newline.
// Call tzset() once before the first line.
report_line format_report_line(const login_record& record);

// Flushes and closes `out`. True when every byte written to it was taken:
// a close that fails is a failure too, as some file systems (NFS among
// them) report a full disk only then; a descriptor closed from the start
// (EBADF) is not, when nothing was due to it.
bool close_output(std::FILE* out);

// Gives up what the scan does not need: sets no_new_privs and, with Landlock, forbids opening,
// making, removing, renaming, linking, truncating or running any file, TCP bind and connect, and
// signals and abstract sockets beyond the process. Open descriptors work as before. Best effort
// and silent. Call once tzset() has read the zone and the log is open: no file opens after.
void confine_scan();

// Reads `log` to its end and writes to `out` the line of every record that
// `user_name` selects, in log order. Stops at the first write that fails.
// Returns true when the log was read to a normal end and every write
// succeeded.
bool report_user_history(std::FILE* log, std::FILE* out, std::string_view user_name);
