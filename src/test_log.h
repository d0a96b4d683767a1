// Builds login log bytes for tests and tools: field by field at the log's
// own offsets, independently of the decoder, in any of the record forms; or
// through the C library's own writer, in the host's form.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "login_record.h"

// A text that fills a 32-byte field, so the field holds no NUL, and one a
// byte shorter, whose NUL is the field's last byte.
inline const std::string TEXT_32 = "abcdefghijklmnopqrstuvwxyz012345";
inline const std::string TEXT_31 = TEXT_32.substr(0, 31);

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

// A time as a record of `form` keeps it: cut to a 32-bit field's width and
// read back with that field's sign.
std::int64_t as_logged(std::int64_t time, login_record_form form = LOGIN_RECORD_FORM);

// Appends `records` to the log at `path` with the C library's writer, updwtmpx,
// and gives back every record there as the C library reads it, with getutxent.
std::vector<test_record> written_by_the_c_library(const std::string& path,
                                                  const std::vector<test_record>& records);

// Runs test.template operator()<FORM>() for every record form, whatever the host's.
template <class Test>
void for_each_form(Test test) {
    test.template operator()<FORM_384_LITTLE>();
    test.template operator()<FORM_384_BIG>();
    test.template operator()<FORM_400_LITTLE>();
    test.template operator()<FORM_400_BIG>();
    test.template operator()<FORM_384_LITTLE_UNSIGNED>();
    test.template operator()<FORM_384_BIG_UNSIGNED>();
}

// decode_login_record<FORM> of `bytes`, one record, copied to a heap block of
// exactly its size, so that a sanitized build catches any read past its end.
template <login_record_form FORM>
login_record decode_from_heap(const std::string& bytes) {
    if (bytes.size() != FORM.size) {
        std::abort();  // a test that builds its record wrong
    }
    const std::vector<unsigned char> record(bytes.begin(), bytes.end());
    return decode_login_record<FORM>(std::span<const unsigned char, FORM.size>(record));
}
