#include "login_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "test_log.h"

namespace {

std::string form_name(login_record_form form) {
    return std::to_string(form.size) +
           (form.byte_order == std::endian::little ? " little-endian" : " big-endian");
}

enum class field { type, line, user, termination, exit, time };

std::size_t offset_of(field where, login_record_form form) {
    switch (where) {
        case field::type:
            return 0;
        case field::line:
            return 8;
        case field::user:
            return 44;
        case field::termination:
            return 332;
        case field::exit:
            return 334;
        case field::time:
            return test_time_offset(form);
    }
    return 0;
}

struct decode_case {
    const char* name;
    field where;
    std::string bytes;          // written over the base record; integers low byte first
    test_record expected;       // the base record, but for the field written over
    std::size_t time_size = 0;  // when set, only for forms whose time has this size
};

TEST(DecodeLoginRecord, FieldsFromBytes) {
    using namespace std::string_literals;
    const decode_case cases[] = {
        {"base record", field::type, "\x07\x00"s, {}},
        {"type FF FF is -1", field::type, "\xFF\xFF", {.type = -1}},
        {"type 00 80 is the most negative", field::type, "\x00\x80"s, {.type = -32768}},
        {"type in the form's byte order", field::type, "\x34\x12", {.type = 0x1234}},
        {"termination FF FF", field::termination, "\xFF\xFF", {.termination = -1}},
        {"exit 00 80", field::exit, "\x00\x80"s, {.exit = -32768}},
        {"exit in the form's byte order", field::exit, "\x02\x01", {.exit = 0x0102}},
        {"time FF FF FF FF is one second before the epoch",
         field::time,
         "\xFF\xFF\xFF\xFF",
         {.time = -1},
         4},
        {"32-bit time 00 00 00 80 is the most negative",
         field::time,
         "\x00\x00\x00\x80"s,
         {.time = INT32_MIN},
         4},
        {"32-bit time FF FF FF 7F is the most positive",
         field::time,
         "\xFF\xFF\xFF\x7F",
         {.time = INT32_MAX},
         4},
        {"32-bit time in the form's byte order",
         field::time,
         "\x78\x56\x34\x12",
         {.time = 0x12345678},
         4},
        {"64-bit time of all FF is -1", field::time, std::string(8, '\xFF'), {.time = -1}, 8},
        {"64-bit time past 32 bits is not cut",
         field::time,
         "\x00\x00\x00\x80\x00\x00\x00\x00"s,
         {.time = 0x80000000},
         8},
        {"64-bit time, most negative",
         field::time,
         std::string(7, '\0') + "\x80",
         {.time = INT64_MIN},
         8},
        {"64-bit time, most positive",
         field::time,
         std::string(7, '\xFF') + "\x7F",
         {.time = INT64_MAX},
         8},
        {"64-bit time in the form's byte order",
         field::time,
         "\xEF\xCD\xAB\x89\x67\x45\x23\x01",
         {.time = 0x0123456789ABCDEF},
         8},
        {"user starting with NUL is empty", field::user, "\0x"s, {.user = ""}},
        {"line starting with NUL is empty", field::line, "\0x"s, {.line = ""}},
        {"bytes after the first NUL play no part", field::user, "ab\0zz"s, {.user = "ab"}},
        {"a user filling the field has no NUL and stops at its end",
         field::user,
         TEXT_32,
         {.user = TEXT_32}},
        {"a 31-byte user ends at the NUL in the field's last byte",
         field::user,
         TEXT_31 + '\0',
         {.user = TEXT_31}},
        {"a 31-byte line likewise", field::line, TEXT_31 + '\0', {.line = TEXT_31}},
        {"a line filling the field stops before the id",
         field::line,
         TEXT_32 + "IDID",
         {.line = TEXT_32}},
        {"bytes above 0x7F stand as they are",
         field::line,
         "\xC3\xA9;\x1B\0"s,
         {.line = "\xC3\xA9;\x1B"}},
    };
    for (const login_record_form form : ALL_FORMS) {
        for (const decode_case& c : cases) {
            if (c.time_size != 0 && c.time_size != test_time_size(form)) {
                continue;
            }
            SCOPED_TRACE(form_name(form) + ": " + c.name);
            std::string patch = c.bytes;
            const bool integer = c.where != field::line && c.where != field::user;
            if (integer && form.byte_order == std::endian::big) {
                std::reverse(patch.begin(), patch.end());
            }
            std::string bytes = encode_test_record({}, form);
            bytes.replace(offset_of(c.where, form), patch.size(), patch);
            const login_record record = decode_in_form(form, bytes);
            EXPECT_EQ(record.type, c.expected.type);
            EXPECT_EQ(record.line.view(), c.expected.line);
            EXPECT_EQ(record.user.view(), c.expected.user);
            EXPECT_EQ(record.termination, c.expected.termination);
            EXPECT_EQ(record.exit, c.expected.exit);
            EXPECT_EQ(record.time, c.expected.time);
        }
    }
}

// The end of a text is found eight bytes at a time: a NUL at every place in
// the field, with bytes around it that could mislead a word-wide search
// (0x01 just after the NUL, high bytes before it).
TEST(DecodeLoginRecord, TextEndsAtItsFirstNulWhereverItStands) {
    for (const login_record_form form : ALL_FORMS) {
        for (std::size_t length = 0; length <= LOGIN_TEXT_SIZE; ++length) {
            SCOPED_TRACE(form_name(form) + ", length " + std::to_string(length));
            std::string text;
            for (std::size_t i = 0; i < length; ++i) {
                text += i % 2 == 0 ? '\x80' : '\xFF';
            }
            const std::string field =
                (text + '\0' + std::string(LOGIN_TEXT_SIZE, '\x01')).substr(0, LOGIN_TEXT_SIZE);
            std::string bytes = encode_test_record({}, form);
            bytes.replace(8, LOGIN_TEXT_SIZE, field);
            bytes.replace(44, LOGIN_TEXT_SIZE, field);
            const login_record record = decode_in_form(form, bytes);
            EXPECT_EQ(record.line.view().size(), length);
            EXPECT_EQ(record.user.view().size(), length);
        }
    }
}

TEST(DecodeLoginRecord, RecordWithoutAnyNulStaysInsideItsBytes) {
    for (const login_record_form form : ALL_FORMS) {
        SCOPED_TRACE(form_name(form));
        const login_record record = decode_in_form(form, std::string(form.size, '\xFF'));
        EXPECT_EQ(record.type, -1);
        EXPECT_EQ(record.line.view(), std::string(32, '\xFF'));
        EXPECT_EQ(record.user.view(), std::string(32, '\xFF'));
        EXPECT_EQ(record.time, -1);
    }
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
    for (const login_record_form form : ALL_FORMS) {
        const std::string two = test_log({{.user = "first"}, {.user = "second"}}, form);
        const std::size_t size = form.size;
        struct {
            std::size_t size;
            std::vector<std::string> users;
        } const cases[] = {
            {0, {}},
            {size - 1, {}},
            {size, {"first"}},
            {size + 1, {"first"}},
            {2 * size - 1, {"first"}},
            {2 * size, {"first", "second"}},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(form_name(form) + ", " + std::to_string(c.size) + " bytes");
            std::FILE* log = stream_holding(two.substr(0, c.size));
            ASSERT_NE(log, nullptr);
            std::vector<std::string> users;
            login_read next;
            while ((next = read_in_form(form, log)).status == read_status::record) {
                users.emplace_back(next.record.user.view());
            }
            EXPECT_EQ(next.status, read_status::end);
            EXPECT_EQ(users, c.users);
            std::fclose(log);
        }
    }
}

TEST(ReadLoginRecord, ReadErrorIsNotTheEnd) {
    std::FILE* directory = std::fopen("/", "r");  // opens, but every read fails
    ASSERT_NE(directory, nullptr);
    EXPECT_EQ(read_login_record(directory).status, read_status::failed);
    std::fclose(directory);
}

}  // namespace
