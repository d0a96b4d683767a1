// libFuzzer target over decoding, selection and the report line.
//
// Input: one byte n, then a user name of n % 41 bytes, then records: the
// rest cut into 384-byte pieces, read through a stream as the log is (a
// trailing piece shorter than a record is dropped). Every property below is
// checked against the raw bytes or against the C library, not against the
// code under test.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "command.h"
#include "login_record.h"

namespace {

void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "property broken: %s\n", what);
        std::abort();
    }
}

// The text of a field: its bytes up to the first NUL, at most the field.
std::string_view raw_text(const std::uint8_t* field) {
    const auto* end = static_cast<const std::uint8_t*>(std::memchr(field, 0, LOGIN_TEXT_SIZE));
    return {reinterpret_cast<const char*>(field),
            end == nullptr ? LOGIN_TEXT_SIZE : static_cast<std::size_t>(end - field)};
}

long raw_signed(const std::uint8_t* at, int width) {
    unsigned long value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value = value * 256 + at[i];
    }
    const unsigned long half = 1UL << (8 * width - 1);
    return value >= half ? static_cast<long>(value) - static_cast<long>(2 * half)
                         : static_cast<long>(value);
}

void check_record(const std::uint8_t* raw, const login_record& record, std::string_view name) {
    require(record.type == raw_signed(raw + 0, 2), "type");
    require(record.termination == raw_signed(raw + 332, 2), "termination");
    require(record.exit == raw_signed(raw + 334, 2), "exit");
    require(record.time == raw_signed(raw + 340, 4), "time");
    require(record.line.length <= LOGIN_TEXT_SIZE && record.user.length <= LOGIN_TEXT_SIZE,
            "texts fit their fields");
    require(record.line.view() == raw_text(raw + 8), "line text");
    require(record.user.view() == raw_text(raw + 44), "user text");
    require(record.line.view().find('\0') == std::string_view::npos &&
                record.user.view().find('\0') == std::string_view::npos,
            "texts hold no NUL");
    require(selects_record(name, record) == (raw_text(raw + 44) == name), "selection");

    const report_line line = format_report_line(record);
    const std::string head = std::to_string(record.type) + ';' + std::string(record.line.view()) +
                             ';' + std::to_string(record.termination) + ';' +
                             std::to_string(record.exit) + ';';
    require(line.length == head.size() + TIME_TEXT_SIZE, "line length");
    require(line.view().substr(0, head.size()) == head, "the four pieces before the time");
    const std::string_view time_text = line.view().substr(head.size());
    const std::time_t when = record.time;
    char expected[64];
    require(ctime_r(&when, expected) != nullptr, "ctime_r converts every 32-bit time");
    require(time_text == expected, "time text as ctime lays it out");
    require(time_text.find('\n') == TIME_TEXT_SIZE - 1, "one newline, at the end");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A zone with daylight saving time, so local conversion is not trivial.
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t name_size = std::min<std::size_t>(data[0] % 41, size - 1);
    const std::string_view name(reinterpret_cast<const char*>(data + 1), name_size);
    const std::uint8_t* records = data + 1 + name_size;
    const std::size_t records_size = size - 1 - name_size;

    if (records_size == 0) {
        return 0;
    }
    // Read-only: the stream never writes to the bytes it is given.
    std::FILE* log = fmemopen(const_cast<std::uint8_t*>(records), records_size, "r");
    require(log != nullptr, "a stream over the input");
    std::size_t count = 0;
    login_read next;
    while ((next = read_login_record(log)).status == read_status::record) {
        check_record(records + count * LOGIN_RECORD_SIZE, next.record, name);
        ++count;
    }
    require(next.status == read_status::end, "a stream that cannot fail ends normally");
    require(count == records_size / LOGIN_RECORD_SIZE, "every whole record, and no more");
    std::fclose(log);
    return 0;
}
