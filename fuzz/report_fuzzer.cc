// libFuzzer target over decoding, selection and the report line.
//
// Input: one byte n, then a user name of n / 6 % 41 bytes, then records in
// the record form n % 6 (384 or 400 bytes, little- or big-endian, a 32-bit
// time signed or not, whatever the host): the rest cut into records, read through a stream as the
// log is (a trailing piece shorter than a record is dropped). Every property below is checked
// against the raw bytes or against the C library, not against the code under test.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "command.h"
#include "login_record.h"
#include "test_time.h"

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

// The integer of `width` bytes at `at`, in the form's byte order, signed
// unless `is_signed` is false.
std::int64_t raw_integer(const std::uint8_t* at, std::size_t width, login_record_form form,
                         bool is_signed = true) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        const std::size_t place = form.byte_order == std::endian::big ? i : width - 1 - i;
        value = value << 8 | at[place];
    }
    const int unused = 64 - 8 * static_cast<int>(width);  // sign-extended from the top byte
    return is_signed ? static_cast<std::int64_t>(value << unused) >> unused
                     : static_cast<std::int64_t>(value);
}

void check_record(const std::uint8_t* raw, login_record_form form, const login_record& record,
                  std::string_view name) {
    require(record.type == raw_integer(raw + 0, 2, form), "type");
    require(record.termination == raw_integer(raw + 332, 2, form), "termination");
    require(record.exit == raw_integer(raw + 334, 2, form), "exit");
    // The time's place by the size of the record, not by the form's own fields.
    const bool wide = form.size == 400;
    require(
        record.time == raw_integer(raw + (wide ? 344 : 340), wide ? 8 : 4, form, form.time_signed),
        "time");
    require(record.line.view().size() <= LOGIN_TEXT_SIZE &&
                record.user.view().size() <= LOGIN_TEXT_SIZE,
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
    require(line.length <= REPORT_LINE_MAX, "line length");
    require(line.view().substr(0, head.size()) == head, "the four pieces before the time");
    const std::string_view time_text = line.view().substr(head.size());
    require(time_text == libc_time_text(record.time), "time text as the C library gives it");
    require(time_text.find('\n') == time_text.size() - 1, "one newline, at the end");
    require(wide || time_text.size() == 25, "a 32-bit time's text is 25 bytes");
}

// Reads the records in form FORM and checks each.
template <login_record_form FORM>
void check_log(const std::uint8_t* records, std::size_t size, std::string_view name) {
    // Read-only: the stream never writes to the bytes it is given.
    std::FILE* log = fmemopen(const_cast<std::uint8_t*>(records), size, "r");
    require(log != nullptr, "a stream over the input");
    std::size_t count = 0;
    login_read next;
    while ((next = read_login_record<FORM>(log)).status == read_status::record) {
        check_record(records + count * FORM.size, FORM, next.record, name);
        ++count;
    }
    require(next.status == read_status::end, "a stream that cannot fail ends normally");
    require(count == size / FORM.size, "every whole record, and no more");
    std::fclose(log);
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
    const std::size_t name_size = std::min<std::size_t>(data[0] / 6 % 41, size - 1);
    // A user name holds no NUL: it ends at the first, as a command line's would.
    std::string_view name(reinterpret_cast<const char*>(data + 1), name_size);
    name = name.substr(0, name.find('\0'));
    const std::uint8_t* records = data + 1 + name_size;
    const std::size_t records_size = size - 1 - name_size;
    if (records_size == 0) {
        return 0;
    }
    switch (data[0] % 6) {
        case 0:
            check_log<FORM_384_LITTLE>(records, records_size, name);
            break;
        case 1:
            check_log<FORM_384_BIG>(records, records_size, name);
            break;
        case 2:
            check_log<FORM_400_LITTLE>(records, records_size, name);
            break;
        case 3:
            check_log<FORM_400_BIG>(records, records_size, name);
            break;
        case 4:
            check_log<FORM_384_LITTLE_UNSIGNED>(records, records_size, name);
            break;
        default:
            check_log<FORM_384_BIG_UNSIGNED>(records, records_size, name);
            break;
    }
    return 0;
}
