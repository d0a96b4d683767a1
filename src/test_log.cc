#include "test_log.h"

#include <algorithm>
#include <cstring>

namespace {

void put_le(unsigned char* at, std::uint32_t value, int width) {
    for (int i = 0; i < width; ++i) {
        at[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

void put_text(unsigned char* at, std::size_t width, const std::string& text) {
    std::memset(at, 0, width);
    std::memcpy(at, text.data(), std::min(width, text.size()));
}

}  // namespace

std::array<unsigned char, LOGIN_RECORD_SIZE> encode_test_record(const test_record& record) {
    std::array<unsigned char, LOGIN_RECORD_SIZE> bytes;
    bytes.fill(0xA5);  // padding, id, session and the rest must play no part
    unsigned char* at = bytes.data();
    put_le(at + 0, static_cast<std::uint16_t>(record.type), 2);
    put_le(at + 4, static_cast<std::uint32_t>(record.pid), 4);
    put_text(at + 8, 32, record.line);
    put_text(at + 44, 32, record.user);
    put_text(at + 76, 256, record.host);
    put_le(at + 332, static_cast<std::uint16_t>(record.termination), 2);
    put_le(at + 334, static_cast<std::uint16_t>(record.exit), 2);
    put_le(at + 340, static_cast<std::uint32_t>(record.time), 4);
    return bytes;
}

std::string test_log(const std::vector<test_record>& records) {
    std::string log;
    log.reserve(records.size() * LOGIN_RECORD_SIZE);
    for (const test_record& record : records) {
        const auto bytes = encode_test_record(record);
        log.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    return log;
}
