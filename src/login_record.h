// The login accounting log ("wtmp"): a flat sequence of fixed-size records
// that the login services write through the C library, each as the host's
// struct utmpx lies in memory. This module is the only place that knows the
// record's layout; the rest of the program sees login_record values.
//
// Decoding and reading are defined here, in the header, so that the scan
// that calls them once per record compiles them into its own loop.
#pragma once

#include <array>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

// Where a record's fields lie. The C library writes one of two forms, in
// the host's byte order: 384 bytes with a 32-bit ut_session and ut_tv, or
// 400 bytes with 64-bit ones. Every other field the program reads stands
// at the same offset in both. A 32-bit time is read as the C library
// declares it: signed, or from glibc 2.40 on unsigned (the same bytes,
// reaching from 1970 to 2106 rather than 1901 to 2038).
struct login_record_form {
    std::size_t size;         // bytes in one record
    std::size_t time_offset;  // of ut_tv.tv_sec
    std::size_t time_size;    // of ut_tv.tv_sec: 4 or 8
    std::endian byte_order;
    bool time_signed = true;  // of ut_tv.tv_sec

    bool operator==(const login_record_form&) const = default;
};

inline constexpr login_record_form FORM_384_LITTLE{384, 340, 4, std::endian::little};
inline constexpr login_record_form FORM_384_BIG{384, 340, 4, std::endian::big};
inline constexpr login_record_form FORM_400_LITTLE{400, 344, 8, std::endian::little};
inline constexpr login_record_form FORM_400_BIG{400, 344, 8, std::endian::big};
inline constexpr login_record_form FORM_384_LITTLE_UNSIGNED{384, 340, 4, std::endian::little,
                                                            false};
inline constexpr login_record_form FORM_384_BIG_UNSIGNED{384, 340, 4, std::endian::big, false};

// The host's own form, by the rule of glibc's <bits/utmpx.h>: 32-bit fields
// where <bits/wordsize.h> sets __WORDSIZE_TIME64_COMPAT32 (64-bit hosts
// that share the log with a 32-bit ABI, and from glibc 2.40 on the 32-bit
// hosts too), their time unsigned from glibc 2.40 on; the host's own
// timeval elsewhere: 64-bit on arm64, s390x and loongarch64, 32-bit and
// signed on 32-bit hosts before glibc 2.40. login_record.cc checks the
// choice against <utmpx.h> itself.
#if !defined __GLIBC__
#error "login-history reads the log as glibc writes it, and this C library is not glibc"
#elif __WORDSIZE == 64 && !__WORDSIZE_TIME64_COMPAT32
inline constexpr login_record_form LOGIN_RECORD_FORM =
    std::endian::native == std::endian::big ? FORM_400_BIG : FORM_400_LITTLE;
#elif __WORDSIZE_TIME64_COMPAT32 && __GLIBC_PREREQ(2, 40)
inline constexpr login_record_form LOGIN_RECORD_FORM =
    std::endian::native == std::endian::big ? FORM_384_BIG_UNSIGNED : FORM_384_LITTLE_UNSIGNED;
#else
inline constexpr login_record_form LOGIN_RECORD_FORM =
    std::endian::native == std::endian::big ? FORM_384_BIG : FORM_384_LITTLE;
#endif

// Size of one record in this host's log. Record n begins at byte
// n * LOGIN_RECORD_SIZE.
inline constexpr std::size_t LOGIN_RECORD_SIZE = LOGIN_RECORD_FORM.size;

// Width of the ut_line and ut_user fields.
inline constexpr std::size_t LOGIN_TEXT_SIZE = 32;

// Offsets of the fields that stand at the same place in both forms.
inline constexpr std::size_t LOGIN_TYPE_OFFSET = 0;
inline constexpr std::size_t LOGIN_LINE_OFFSET = 8;
inline constexpr std::size_t LOGIN_USER_OFFSET = 44;
inline constexpr std::size_t LOGIN_TERMINATION_OFFSET = 332;
inline constexpr std::size_t LOGIN_EXIT_OFFSET = 334;

namespace login_record_bytes {

template <std::unsigned_integral U>
constexpr U reversed_bytes(U value) {
    U reversed = 0;
    for (std::size_t i = 0; i < sizeof(U); ++i) {
        reversed = static_cast<U>(reversed << 8 | (value & 0xFF));
        value = static_cast<U>(value >> 8);
    }
    return reversed;
}

// The integer stored at `at` in byte order ORDER, whatever the host's; the
// unsigned-to-signed conversion is two's complement (guaranteed since C++20).
template <std::integral T, std::endian ORDER>
T integer_at(const void* at) {
    std::make_unsigned_t<T> value;
    std::memcpy(&value, at, sizeof value);
    if constexpr (ORDER != std::endian::native) {
        value = reversed_bytes(value);
    }
    return static_cast<T>(value);
}

// The high bit of every zero byte of `word` is set, and bits above the
// first zero byte may be set by the borrow, but none below it: once the
// word is read little-endian, the lowest set bit marks the first zero byte.
inline std::uint64_t zero_bytes(std::uint64_t word) {
    constexpr std::uint64_t ONES = 0x0101010101010101;
    constexpr std::uint64_t HIGHS = 0x8080808080808080;
    return (word - ONES) & ~word & HIGHS;
}

// Where the text of a 32-byte field ends: at its first NUL, or at the
// field's end when it holds none, eight bytes at a time.
inline std::size_t text_length(const char* field) {
    for (std::size_t at = 0; at < LOGIN_TEXT_SIZE; at += 8) {
        const auto word = integer_at<std::uint64_t, std::endian::little>(field + at);
        if (const std::uint64_t zeros = zero_bytes(word); zeros != 0) {
            return at + static_cast<unsigned>(std::countr_zero(zeros)) / 8;
        }
    }
    return LOGIN_TEXT_SIZE;
}

}  // namespace login_record_bytes

// The text of a fixed-width field: its bytes before the first NUL, or all of
// them when the field holds no NUL. The whole field is held, so a record
// owns its texts without allocating, and the text's end is found only when
// the text is looked at: most records of a scan are passed over unread.
struct login_text {
    std::array<char, LOGIN_TEXT_SIZE> field{};

    std::string_view view() const {
        return {field.data(), login_record_bytes::text_length(field.data())};
    }
};

// The part of a record that the program uses.
struct login_record {
    std::int16_t type = 0;         // ut_type
    login_text line;               // ut_line
    login_text user;               // ut_user
    std::int16_t termination = 0;  // ut_exit.e_termination
    std::int16_t exit = 0;         // ut_exit.e_exit
    std::int64_t time = 0;         // ut_tv.tv_sec, seconds since the Unix epoch
};

// Decodes one record in form FORM, by default the host's. Every pattern of
// FORM.size bytes decodes; no byte outside `bytes` is read. A signed 32-bit
// time is sign-extended (negative times are before the epoch), an unsigned
// one zero-extended.
template <login_record_form FORM = LOGIN_RECORD_FORM>
inline login_record decode_login_record(std::span<const unsigned char, FORM.size> bytes) {
    using namespace login_record_bytes;
    static_assert(FORM.time_offset + FORM.time_size <= FORM.size);
    constexpr std::endian ORDER = FORM.byte_order;
    const unsigned char* at = bytes.data();
    login_record record;
    record.type = integer_at<std::int16_t, ORDER>(at + LOGIN_TYPE_OFFSET);
    std::memcpy(record.line.field.data(), at + LOGIN_LINE_OFFSET, LOGIN_TEXT_SIZE);
    std::memcpy(record.user.field.data(), at + LOGIN_USER_OFFSET, LOGIN_TEXT_SIZE);
    record.termination = integer_at<std::int16_t, ORDER>(at + LOGIN_TERMINATION_OFFSET);
    record.exit = integer_at<std::int16_t, ORDER>(at + LOGIN_EXIT_OFFSET);
    if constexpr (FORM.time_size == 4 && FORM.time_signed) {
        record.time = integer_at<std::int32_t, ORDER>(at + FORM.time_offset);
    } else if constexpr (FORM.time_size == 4) {
        record.time = integer_at<std::uint32_t, ORDER>(at + FORM.time_offset);
    } else {
        record.time = integer_at<std::int64_t, ORDER>(at + FORM.time_offset);
    }
    return record;
}

enum class read_status {
    record,  // a whole record was read and decoded
    end,     // end of file, or only a trailing part of a record was left
    failed,  // the stream reported a read error
};

struct login_read {
    read_status status = read_status::end;
    login_record record;  // meaningful only when status is read_status::record
};

// Reads the next record, in form FORM, from `log`, a read stream at a record
// boundary. On read_status::record the stream is left at the next boundary.
// An incomplete record is never decoded; its bytes are dropped. Never seeks.
template <login_record_form FORM = LOGIN_RECORD_FORM>
inline login_read read_login_record(std::FILE* log) {
    std::array<unsigned char, FORM.size> buffer;
    // Unlocked: the program has one thread, and the lock per call is a
    // large part of the cost of a record's read from the stream's buffer.
    const std::size_t got = fread_unlocked(buffer.data(), 1, buffer.size(), log);
    if (got != buffer.size()) {
        // A short read is the end of the records unless the stream failed;
        // a trailing part of a record may be a record still being appended.
        return {ferror_unlocked(log) != 0 ? read_status::failed : read_status::end, {}};
    }
    return {read_status::record, decode_login_record<FORM>(buffer)};
}
