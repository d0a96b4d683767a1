#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// The C library's time text, the report's oracle: asctime of localtime_r in
// the caller's zone, or where either fails the count of seconds and a newline.
inline std::string libc_time_text(std::int64_t seconds) {
    const auto when = static_cast<std::time_t>(seconds);
    std::tm local{};
    const char* text = nullptr;
    if (when == seconds && localtime_r(&when, &local) != nullptr) {
        text = std::asctime(&local);  // not asctime_r, which stops at four-digit years
    }
    return text != nullptr ? text : std::to_string(seconds) + "\n";
}
