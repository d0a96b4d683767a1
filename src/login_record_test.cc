#include "login_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "test_log.h"

namespace {

using namespace std::string_literals;

std::string form_name(login_record_form form) {
    return std::to_string(form.size) + (form.byte_order == std::endian::big ? " BE" : " LE") +
           (form.time_signed ? "" : ", unsigned time");
}

// time32 stands only in 384-byte records, time64 only in 400-byte ones.
enum class field { type, line, user, termination, exit, time32, time64 };
using enum field;

struct decode_case {
    const char* name;
    field where;
    std::string bytes;     // written over the base record: an integer's low byte first,
                           // put in the form's byte order, unless the row is one form's
    test_record expected;  // the base record, but for the field written over; a
                           // 32-bit time as signed, the same bits read unsigned
    std::optional<login_record_form> only = {};  // this form's row: bytes and time as they stand
};

TEST(DecodeLoginRecord, FieldsFromBytes) {
    const std::string ENDS_32 = "\x80\0\0\x81"s, ENDS_64 = "\x80\0\0\0\0\0\0\x81"s;
    const decode_case cases[] = {
        {"base record", type, "\x07\x00"s, {}},
        {"FF FF is -1", type, "\xFF\xFF", {.type = -1}},
        {"00 80 is the most negative", type, "\x00\x80"s, {.type = -32768}},
        {"type in the form's byte order", type, "\x34\x12", {.type = 0x1234}},
        {"termination FF FF", termination, "\xFF\xFF", {.termination = -1}},
        {"exit 00 80", exit, "\x00\x80"s, {.exit = -32768}},
        {"exit in the form's byte order", exit, "\x02\x01", {.exit = 0x0102}},
        {"a second before the epoch", time32, "\xFF\xFF\xFF\xFF", {.time = -1}},
        {"32 bits, most negative", time32, "\0\0\0\x80"s, {.time = INT32_MIN}},
        {"32 bits, most positive", time32, "\xFF\xFF\xFF\x7F", {.time = INT32_MAX}},
        {"32 bits in the form's byte order", time32, "\x78\x56\x34\x12", {.time = 0x12345678}},
        {"64 bits of FF are -1", time64, std::string(8, '\xFF'), {.time = -1}},
        {"64 bits past 32 are not cut", time64, "\0\0\0\x80\0\0\0\0"s, {.time = 0x80000000}},
        {"64 bits, most negative", time64, "\0\0\0\0\0\0\0\x80"s, {.time = INT64_MIN}},
        {"64 bits, most positive", time64, std::string(7, '\xFF') + "\x7F", {.time = INT64_MAX}},
        {"64 bits in the form's order",
         time64,
         "\xEF\xCD\xAB\x89\x67\x45\x23\x01",
         {.time = 0x0123456789ABCDEF}},
        {"user starting with NUL is empty", user, "\0x"s, {.user = ""}},
        {"line starting with NUL is empty", line, "\0x"s, {.line = ""}},
        {"bytes after the first NUL play no part", user, "ab\0zz"s, {.user = "ab"}},
        {"a user filling the field has no NUL", user, TEXT_32, {.user = TEXT_32}},
        {"a 31-byte user, NUL in the last byte", user, TEXT_31 + '\0', {.user = TEXT_31}},
        {"a 31-byte line likewise", line, TEXT_31 + '\0', {.line = TEXT_31}},
        {"a full line ends before the id", line, TEXT_32 + "IDID", {.line = TEXT_32}},
        {"bytes above 0x7F stand as they are", line, "\xC3\xA9;\x1B\0"s, {.line = "\xC3\xA9;\x1B"}},
        // Bytes as they stand, high at both ends: each form's own order and sign tell.
        {"80 .. 81 LE", time32, ENDS_32, {.time = -2130706304}, FORM_384_LITTLE},
        {"80 .. 81 BE", time32, ENDS_32, {.time = -2147483519}, FORM_384_BIG},
        {"80 .. 81 LE unsigned", time32, ENDS_32, {.time = 2164260992}, FORM_384_LITTLE_UNSIGNED},
        {"80 .. 81 BE unsigned", time32, ENDS_32, {.time = 2147483777}, FORM_384_BIG_UNSIGNED},
        {"80 .. 81 LE 64", time64, ENDS_64, {.time = -0x7EFFFFFFFFFFFF80}, FORM_400_LITTLE},
        {"80 .. 81 BE 64", time64, ENDS_64, {.time = -0x7FFFFFFFFFFFFF7F}, FORM_400_BIG},
    };
    for_each_form([&]<login_record_form FORM>() {
        const std::size_t offsets[] = {0, 8, 44, 332, 334, 340, 344};
        for (const decode_case& c : cases) {
            if ((c.where == time32 && FORM.size != 384) ||
                (c.where == time64 && FORM.size != 400) || (c.only && *c.only != FORM)) {
                continue;
            }
            SCOPED_TRACE(form_name(FORM) + ": " + c.name);
            std::string patch = c.bytes;
            if (c.where != line && c.where != user && !c.only &&
                FORM.byte_order == std::endian::big) {
                std::reverse(patch.begin(), patch.end());
            }
            std::string bytes = encode_test_record({}, FORM);
            bytes.replace(offsets[static_cast<int>(c.where)], patch.size(), patch);
            const login_record record = decode_from_heap<FORM>(bytes);
            EXPECT_EQ(record.type, c.expected.type);
            EXPECT_EQ(record.line.view(), c.expected.line);
            EXPECT_EQ(record.user.view(), c.expected.user);
            EXPECT_EQ(record.termination, c.expected.termination);
            EXPECT_EQ(record.exit, c.expected.exit);
            EXPECT_EQ(record.time, c.only ? c.expected.time : as_logged(c.expected.time, FORM));
        }
    });
}

// A text's end is found eight bytes at a time: a NUL at every place, amid
// bytes that could mislead a word-wide search (0x01 after it, high bytes
// before it); and a record with no NUL at all, read to its last byte only.
TEST(DecodeLoginRecord, TextEndsAtItsFirstNulWhereverItStands) {
    for_each_form([]<login_record_form FORM>() {
        for (std::size_t length = 0; length <= LOGIN_TEXT_SIZE; ++length) {
            SCOPED_TRACE(form_name(FORM) + ", length " + std::to_string(length));
            std::string field;
            for (std::size_t i = 0; i < length; ++i) {
                field += i % 2 == 0 ? '\x80' : '\xFF';
            }
            field =
                (field + '\0' + std::string(LOGIN_TEXT_SIZE, '\x01')).substr(0, LOGIN_TEXT_SIZE);
            std::string bytes = encode_test_record({}, FORM);
            bytes.replace(8, LOGIN_TEXT_SIZE, field).replace(44, LOGIN_TEXT_SIZE, field);
            const login_record record = decode_from_heap<FORM>(bytes);
            EXPECT_EQ(record.line.view().size(), length);
            EXPECT_EQ(record.user.view().size(), length);
        }
        const login_record record = decode_from_heap<FORM>(std::string(FORM.size, '\xFF'));
        EXPECT_EQ(record.type, -1);
        EXPECT_EQ(record.line.view(), std::string(32, '\xFF'));
        EXPECT_EQ(record.user.view(), std::string(32, '\xFF'));
        EXPECT_EQ(record.time, as_logged(-1, FORM));
    });
}

TEST(ReadLoginRecord, WholeRecordsOnly) {
    for_each_form([]<login_record_form FORM>() {
        const std::string two = test_log({{.user = "first"}, {.user = "second"}}, FORM);
        const std::size_t size = FORM.size;
        const std::vector<std::string> none, first = {"first"}, both = {"first", "second"};
        const std::pair<std::size_t, std::vector<std::string>> cases[] = {
            {0, none},         {size - 1, none},      {size, first},
            {size + 1, first}, {2 * size - 1, first}, {2 * size, both},
        };
        for (const auto& [length, users] : cases) {
            SCOPED_TRACE(form_name(FORM) + ", " + std::to_string(length) + " bytes");
            std::FILE* log = std::tmpfile();
            ASSERT_NE(log, nullptr);
            std::fwrite(two.data(), 1, length, log);
            std::rewind(log);
            std::vector<std::string> read;
            login_read next;
            while ((next = read_login_record<FORM>(log)).status == read_status::record) {
                read.emplace_back(next.record.user.view());
            }
            EXPECT_EQ(next.status, read_status::end);
            EXPECT_EQ(read, users);
            std::fclose(log);
        }
    });
}

TEST(ReadLoginRecord, ReadErrorIsNotTheEnd) {
    std::FILE* directory = std::fopen("/", "r");  // opens, but every read fails
    ASSERT_NE(directory, nullptr);
    EXPECT_EQ(read_login_record(directory).status, read_status::failed);
    std::fclose(directory);
}

}  // namespace
