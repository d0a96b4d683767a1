// The login accounting log ("wtmp"): a flat sequence of fixed-size records
// written by the login services. This module is the only place that knows
// the record's layout; the rest of the program sees login_record values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string_view>

// Size of one record in the log. Record n begins at byte n * LOGIN_RECORD_SIZE.
inline constexpr std::size_t LOGIN_RECORD_SIZE = 384;

// Width of the ut_line and ut_user fields.
inline constexpr std::size_t LOGIN_TEXT_SIZE = 32;

// The text of a fixed-width field: its bytes before the first NUL, or all of
// them when the field holds no NUL. Held in place, so a record owns its texts
// without allocating. Only the first `length` bytes are the text; the rest
// are the field's bytes after the NUL and mean nothing.
struct login_text {
    std::array<char, LOGIN_TEXT_SIZE> bytes{};
    std::size_t length = 0;  // at most LOGIN_TEXT_SIZE

    std::string_view view() const { return {bytes.data(), length}; }
};

// The part of a record that the program uses.
struct login_record {
    std::int16_t type = 0;         // ut_type
    login_text line;               // ut_line
    login_text user;               // ut_user
    std::int16_t termination = 0;  // ut_exit.e_termination
    std::int16_t exit = 0;         // ut_exit.e_exit
    std::int32_t time = 0;         // ut_tv.tv_sec, seconds since the Unix epoch
};

// Decodes one record as it lies in the log (little-endian, two's complement).
// Every 384-byte pattern decodes; no byte outside `bytes` is read.
login_record decode_login_record(std::span<const unsigned char, LOGIN_RECORD_SIZE> bytes);

enum class read_status {
    record,  // a whole record was read and decoded
    end,     // end of file, or only a trailing part of a record was left
    failed,  // the stream reported a read error
};

struct login_read {
    read_status status = read_status::end;
    login_record record;  // meaningful only when status is read_status::record
};

// Reads the next record from `log`, a read stream at a record boundary. On
// read_status::record the stream is left at the next boundary. An incomplete
// record is never decoded; its bytes are dropped. Never seeks.
login_read read_login_record(std::FILE* log);
