// Builds login log bytes for tests and tools, field by field at the log's own
// offsets, independently of the decoder.
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

struct test_record {
    std::int16_t type = 7;  // USER_PROCESS
    std::string line = "tty1";
    std::string user = "root";
    std::int16_t termination = 0;
    std::int16_t exit = 0;
    std::int32_t time = 0;
    std::string host = "example.net";
    std::int32_t pid = 4242;
};

// One record. Texts longer than their field are cut to it; a text that fills
// its field has no NUL. Fields the decoder skips are filled with nonzero bytes.
std::array<unsigned char, LOGIN_RECORD_SIZE> encode_test_record(const test_record& record);

// The records one after another, as a log file holds them.
std::string test_log(const std::vector<test_record>& records);
