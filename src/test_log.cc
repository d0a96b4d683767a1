// <utmpx.h> as login services see it: _TIME_BITS=64 changes the struct on 32-bit
// hosts before glibc 2.40, but not the log (glibc bug 30701). No time_t here.
#undef _TIME_BITS

#include "test_log.h"

#include <fcntl.h>
#include <unistd.h>
#include <utmpx.h>

#include <algorithm>
#include <cstring>

namespace {

void put_integer(char* at, std::uint64_t value, std::size_t width, std::endian order) {
    for (std::size_t i = 0; i < width; ++i) {
        const std::size_t place = order == std::endian::little ? i : width - 1 - i;
        at[place] = static_cast<char>(value >> (8 * i));
    }
}

void put_text(char* at, std::size_t width, const std::string& text) {
    std::memset(at, 0, width);
    std::memcpy(at, text.data(), std::min(width, text.size()));
}

// The text of a fixed-width field: up to its first NUL, at most the field.
template <std::size_t N>
std::string text_of(const char (&field)[N]) {
    return {field, strnlen(field, N)};
}

}  // namespace

std::string encode_test_record(const test_record& record, login_record_form form) {
    std::string bytes(form.size, '\xA5');  // padding, id, session and the rest play no part
    char* at = bytes.data();
    const std::endian order = form.byte_order;
    put_integer(at + 0, static_cast<std::uint16_t>(record.type), 2, order);
    put_integer(at + 4, static_cast<std::uint32_t>(record.pid), 4, order);
    put_text(at + 8, 32, record.line);
    put_text(at + 44, 32, record.user);
    put_text(at + 76, 256, record.host);
    put_integer(at + 332, static_cast<std::uint16_t>(record.termination), 2, order);
    put_integer(at + 334, static_cast<std::uint16_t>(record.exit), 2, order);
    // The time's place as utmp(5) gives it, apart from the decoder's forms.
    const bool wide = form.size == 400;
    put_integer(at + (wide ? 344 : 340), static_cast<std::uint64_t>(record.time), wide ? 8 : 4,
                order);
    return bytes;
}

std::string test_log(const std::vector<test_record>& records, login_record_form form) {
    std::string log;
    log.reserve(records.size() * form.size);
    for (const test_record& record : records) {
        log += encode_test_record(record, form);
    }
    return log;
}

std::int64_t as_logged(std::int64_t time, login_record_form form) {
    const std::int64_t bits = static_cast<std::uint32_t>(time);  // a 32-bit field's
    return form.size == 400 ? time : form.time_signed ? static_cast<std::int32_t>(bits) : bits;
}

std::vector<test_record> written_by_the_c_library(const std::string& path,
                                                  const std::vector<test_record>& records) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);  // updwtmpx does not create
    if (fd < 0 || close(fd) != 0) {
        return {};
    }
    for (const test_record& record : records) {
        utmpx entry{};
        entry.ut_type = record.type;
        entry.ut_pid = record.pid;
        put_text(entry.ut_line, sizeof entry.ut_line, record.line);
        put_text(entry.ut_user, sizeof entry.ut_user, record.user);
        put_text(entry.ut_host, sizeof entry.ut_host, record.host);
        entry.ut_exit.e_termination = record.termination;
        entry.ut_exit.e_exit = record.exit;
        // Cut to the field's width where it has 32 bits.
        entry.ut_tv.tv_sec = static_cast<decltype(entry.ut_tv.tv_sec)>(record.time);
        updwtmpx(path.c_str(), &entry);
    }
    std::vector<test_record> read;
    if (utmpxname(path.c_str()) != 0) {
        return {};
    }
    setutxent();
    while (const utmpx* entry = getutxent()) {
        read.push_back({.type = entry->ut_type,
                        .line = text_of(entry->ut_line),
                        .user = text_of(entry->ut_user),
                        .termination = entry->ut_exit.e_termination,
                        .exit = entry->ut_exit.e_exit,
                        .time = entry->ut_tv.tv_sec,  // with the sign it is declared with
                        .host = text_of(entry->ut_host),
                        .pid = entry->ut_pid});
    }
    endutxent();
    return read;
}
