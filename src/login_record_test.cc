#include "login_record.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "test_log.h"

namespace {

struct decode_case {
    const char* name;
    std::size_t offset;                // where the patch goes
    std::vector<unsigned char> patch;  // bytes written over the base record
    std::int16_t type = 7;
    std::string line = "tty1";
    std::string user = "root";
    std::int16_t termination = 0;
    std::int16_t exit = 0;
    std::int32_t time = 0;
};

std::vector<unsigned char> bytes_of(const std::string& text) {
    return {text.begin(), text.end()};
}

TEST(DecodeLoginRecord, FieldsFromBytes) {
    const decode_case cases[] = {
        {"base record", 0, {}},
        {"type FF FF is -1", 0, {0xFF, 0xFF}, -1},
        {"type 00 80 is the most negative", 0, {0x00, 0x80}, -32768},
        {"type is little-endian", 0, {0x34, 0x12}, 0x1234},
        {"termination FF FF", 332, {0xFF, 0xFF}, 7, "tty1", "root", -1},
        {"exit 00 80", 334, {0x00, 0x80}, 7, "tty1", "root", 0, -32768},
        {"time FF FF FF FF is one second before the epoch",
         340,
         {0xFF, 0xFF, 0xFF, 0xFF},
         7,
         "tty1",
         "root",
         0,
         0,
         -1},
        {"time 00 00 00 80 is the most negative",
         340,
         {0x00, 0x00, 0x00, 0x80},
         7,
         "tty1",
         "root",
         0,
         0,
         INT32_MIN},
        {"time FF FF FF 7F is the most positive",
         340,
         {0xFF, 0xFF, 0xFF, 0x7F},
         7,
         "tty1",
         "root",
         0,
         0,
         INT32_MAX},
        {"time is little-endian",
         340,
         {0x78, 0x56, 0x34, 0x12},
         7,
         "tty1",
         "root",
         0,
         0,
         0x12345678},
        {"user starting with NUL is empty", 44, {0x00, 'x'}, 7, "tty1", ""},
        {"line starting with NUL is empty", 8, {0x00, 'x'}, 7, ""},
        {"bytes after the first NUL play no part", 44, {'a', 'b', 0x00, 'z', 'z'}, 7, "tty1", "ab"},
        {"a user filling the field has no NUL and stops at its end", 44, bytes_of(TEXT_32), 7,
         "tty1", TEXT_32},
        {"a 31-byte user ends at the NUL in the field's last byte", 44, bytes_of(TEXT_31 + '\0'), 7,
         "tty1", TEXT_31},
        {"a 31-byte line likewise", 8, bytes_of(TEXT_31 + '\0'), 7, TEXT_31},
        {"a line filling the field stops before the id", 8, bytes_of(TEXT_32 + "IDID"), 7, TEXT_32},
        {"bytes above 0x7F stand as they are",
         8,
         {0xC3, 0xA9, ';', 0x1B, 0x00},
         7,
         "\xC3\xA9;\x1B"},
    };
    for (const decode_case& c : cases) {
        SCOPED_TRACE(c.name);
        auto bytes = encode_test_record({});
        std::copy(c.patch.begin(), c.patch.end(), bytes.begin() + static_cast<long>(c.offset));
        const login_record record = decode_login_record(bytes);
        EXPECT_EQ(record.type, c.type);
        EXPECT_EQ(record.line.view(), c.line);
        EXPECT_EQ(record.user.view(), c.user);
        EXPECT_EQ(record.termination, c.termination);
        EXPECT_EQ(record.exit, c.exit);
        EXPECT_EQ(record.time, c.time);
    }
}

// The end of a text is found eight bytes at a time: a NUL at every place in
// the field, with bytes around it that could mislead a word-wide search
// (0x01 just after the NUL, high bytes before it).
TEST(DecodeLoginRecord, TextEndsAtItsFirstNulWhereverItStands) {
    for (std::size_t length = 0; length <= LOGIN_TEXT_SIZE; ++length) {
        SCOPED_TRACE(length);
        std::string text;
        for (std::size_t i = 0; i < length; ++i) {
            text += i % 2 == 0 ? '\x80' : '\xFF';
        }
        const std::string field =
            (text + '\0' + std::string(LOGIN_TEXT_SIZE, '\x01')).substr(0, LOGIN_TEXT_SIZE);
        auto bytes = encode_test_record({});
        std::copy(field.begin(), field.end(), bytes.begin() + 8);
        std::copy(field.begin(), field.end(), bytes.begin() + 44);
        const login_record record = decode_login_record(bytes);
        EXPECT_EQ(record.line.length, length);
        EXPECT_EQ(record.user.length, length);
    }
}

// Held in a heap block of exactly one record, so a sanitized build catches
// any read past the record's end.
TEST(DecodeLoginRecord, RecordWithoutAnyNulStaysInsideItsBytes) {
    const std::vector<unsigned char> bytes(LOGIN_RECORD_SIZE, 0xFF);
    const login_record record = decode_login_record(
        std::span<const unsigned char, LOGIN_RECORD_SIZE>(bytes.data(), LOGIN_RECORD_SIZE));
    EXPECT_EQ(record.type, -1);
    EXPECT_EQ(record.line.view(), std::string(32, '\xFF'));
    EXPECT_EQ(record.user.view(), std::string(32, '\xFF'));
    EXPECT_EQ(record.time, -1);
}

std::FILE* stream_holding(const std::string& bytes) {
    std::FILE* stream = std::tmpfile();
    if (stream != nullptr) {
        std::fwrite(bytes.data(), 1, bytes.size(), stream);
        std::rewind(stream);
    }
    return stream;
}

TEST(ReadLoginRecord, WholeRecordsOnly) {
    const std::string two = test_log({{.user = "first"}, {.user = "second"}});
    struct {
        std::size_t size;
        std::vector<std::string> users;
    } const cases[] = {
        {0, {}},          {383, {}},        {384, {"first"}},
        {385, {"first"}}, {767, {"first"}}, {768, {"first", "second"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        std::FILE* log = stream_holding(two.substr(0, c.size));
        ASSERT_NE(log, nullptr);
        std::vector<std::string> users;
        login_read next;
        while ((next = read_login_record(log)).status == read_status::record) {
            users.emplace_back(next.record.user.view());
        }
        EXPECT_EQ(next.status, read_status::end);
        EXPECT_EQ(users, c.users);
        std::fclose(log);
    }
}

TEST(ReadLoginRecord, ReadErrorIsNotTheEnd) {
    std::FILE* directory = std::fopen("/", "r");  // opens, but every read fails
    ASSERT_NE(directory, nullptr);
    EXPECT_EQ(read_login_record(directory).status, read_status::failed);
    std::fclose(directory);
}

}  // namespace
