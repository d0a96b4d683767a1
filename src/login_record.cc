#include "login_record.h"

#include <bit>
#include <cstring>

namespace {

// Byte offsets of the fields the program reads; the rest of the record
// (pid, id, host, session, microseconds, address, reserved) is skipped.
constexpr std::size_t TYPE_OFFSET = 0;
constexpr std::size_t LINE_OFFSET = 8;
constexpr std::size_t USER_OFFSET = 44;
constexpr std::size_t TERMINATION_OFFSET = 332;
constexpr std::size_t EXIT_OFFSET = 334;
constexpr std::size_t TIME_OFFSET = 340;

static_assert(LINE_OFFSET + LOGIN_TEXT_SIZE <= USER_OFFSET);
static_assert(TIME_OFFSET + 4 <= LOGIN_RECORD_SIZE);

using record_bytes = std::span<const unsigned char, LOGIN_RECORD_SIZE>;

// Integers are assembled from their bytes so the result does not depend on
// the host's byte order; the unsigned-to-signed conversion is two's
// complement (guaranteed since C++20).
std::int16_t int16_at(record_bytes bytes, std::size_t offset) {
    const auto value = static_cast<std::uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
    return static_cast<std::int16_t>(value);
}

std::int32_t int32_at(record_bytes bytes, std::size_t offset) {
    const std::uint32_t value =
        std::uint32_t{bytes[offset]} | std::uint32_t{bytes[offset + 1]} << 8 |
        std::uint32_t{bytes[offset + 2]} << 16 | std::uint32_t{bytes[offset + 3]} << 24;
    return static_cast<std::int32_t>(value);
}

// Eight bytes as a little-endian word whatever the host: the word's lowest
// byte is the first of the eight.
std::uint64_t uint64_at(const unsigned char* at) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = value << 8 | at[i];
    }
    return value;
}

// The high bit of every zero byte of `word` is set, and bits above the
// first zero byte may be set by the borrow, but none below it: the lowest
// set bit marks the first zero byte.
std::uint64_t zero_bytes(std::uint64_t word) {
    constexpr std::uint64_t ONES = 0x0101010101010101;
    constexpr std::uint64_t HIGHS = 0x8080808080808080;
    return (word - ONES) & ~word & HIGHS;
}

std::size_t first_zero_byte(std::uint64_t zeros) {
    return static_cast<unsigned>(std::countr_zero(zeros)) / 8;
}

// text_length and decode_text are forced inline: at the scan's size GCC
// leaves them out of it, and the calls cost a third of a record's reading.

// Where the text of a 32-byte field ends: at its first NUL, or at the
// field's end when it holds none, eight bytes at a time. Most texts end in
// their first eight bytes, which are looked at on their own so that the
// common case stays short.
[[gnu::always_inline]] inline std::size_t text_length(const unsigned char* field) {
    if (const std::uint64_t zeros = zero_bytes(uint64_at(field)); zeros != 0) {
        return first_zero_byte(zeros);
    }
    for (std::size_t at = 8; at < LOGIN_TEXT_SIZE; at += 8) {
        if (const std::uint64_t zeros = zero_bytes(uint64_at(field + at)); zeros != 0) {
            return at + first_zero_byte(zeros);
        }
    }
    return LOGIN_TEXT_SIZE;
}

// The whole field is copied: a fixed-size copy is cheaper than one of the
// text's own length.
[[gnu::always_inline]] inline login_text decode_text(record_bytes bytes, std::size_t offset) {
    const unsigned char* field = bytes.data() + offset;
    login_text text;
    std::memcpy(text.bytes.data(), field, LOGIN_TEXT_SIZE);
    text.length = text_length(field);
    return text;
}

}  // namespace

login_record decode_login_record(record_bytes bytes) {
    // Built in place: the texts are not copied again on the way out.
    return {
        .type = int16_at(bytes, TYPE_OFFSET),
        .line = decode_text(bytes, LINE_OFFSET),
        .user = decode_text(bytes, USER_OFFSET),
        .termination = int16_at(bytes, TERMINATION_OFFSET),
        .exit = int16_at(bytes, EXIT_OFFSET),
        .time = int32_at(bytes, TIME_OFFSET),
    };
}

login_read read_login_record(std::FILE* log) {
    std::array<unsigned char, LOGIN_RECORD_SIZE> buffer;
    // Unlocked: the program has one thread, and the lock per call is a
    // large part of the cost of a 384-byte read from the stream's buffer.
    const std::size_t got = fread_unlocked(buffer.data(), 1, buffer.size(), log);
    if (got != buffer.size()) {
        // A short read is the end of the records unless the stream failed;
        // a trailing part of a record may be a record still being appended.
        return {ferror_unlocked(log) != 0 ? read_status::failed : read_status::end, {}};
    }
    return {read_status::record, decode_login_record(buffer)};
}
