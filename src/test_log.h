// Builds login log bytes for tests and tools: field by field at the log's
// own offsets, independently of the decoder, in any of the record forms; or
// through the C library's own writer, in the host's form.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "login_record.h"

// A text that fills a 32-byte field, so the field holds no NUL, and one a
// byte shorter, whose NUL is the field's last byte.
inline const std::string TEXT_32 = "abcdefghijklmnopqrstuvwxyz012345";
inline const std::string TEXT_31 = TEXT_32.substr(0, 31);

inline constexpr std::array<login_record_form, 4> ALL_FORMS = {FORM_384_LITTLE, FORM_384_BIG,
                                                               FORM_400_LITTLE, FORM_400_BIG};

struct test_record {
    std::int16_t type = 7;  // USER_PROCESS
    std::string line = "tty1";
    std::string user = "root";
    std::int16_t termination = 0;
    std::int16_t exit = 0;
    std::int64_t time = 0;  // cut to 32 bits in a 384-byte record
    std::string host = "example.net";
    std::int32_t pid = 4242;
};

// One record. Texts longer than their field are cut to it; a text that fills
// its field has no NUL. Fields the decoder skips are filled with nonzero bytes.
std::string encode_test_record(const test_record& record,
                               login_record_form form = LOGIN_RECORD_FORM);

// The records one after another, as a log file holds them.
std::string test_log(const std::vector<test_record>& records,
                     login_record_form form = LOGIN_RECORD_FORM);

// Appends `records` to the log at `path` with the C library's own writer,
// updwtmpx, and gives back every record there as the C library reads it,
// with getutxent: the host's own log, as its login services write it.
std::vector<test_record> written_by_the_c_library(const std::string& path,
                                                  const std::vector<test_record>& records);

// decode_login_record and read_login_record in a form chosen at run time,
// for tests that go through every form. The bytes are decoded from a heap
// block of exactly one record.
login_record decode_in_form(login_record_form form, const std::string& bytes);
login_read read_in_form(login_record_form form, std::FILE* log);
