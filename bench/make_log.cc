// make_log RECORDS MATCH_EVERY STEP PATH: writes a login log of RECORDS records to PATH for
// benchmarks. Every MATCH_EVERY-th record (none when 0) belongs to user "bench"; the rest to users
// "user0".."user999". Logins and logouts alternate on pseudo-terminals, STEP seconds apart.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "test_log.h"

int main(int argc, char* argv[]) {
    if (argc != 5) {
        std::fputs("usage: make_log RECORDS MATCH_EVERY STEP PATH\n", stderr);
        return 2;
    }
    const long records = std::strtol(argv[1], nullptr, 10);
    const long match_every = std::strtol(argv[2], nullptr, 10);
    const long step = std::strtol(argv[3], nullptr, 10);
    const char* path = argv[4];
    if (records < 0 || match_every < 0 || step < 0) {
        std::fputs("make_log: RECORDS, MATCH_EVERY and STEP are counts\n", stderr);
        return 2;
    }
    std::FILE* out = std::fopen(path, "w");
    if (out == nullptr) {
        std::perror(path);
        return 1;
    }
    test_record record;
    for (long i = 0; i < records; ++i) {
        const bool match = match_every > 0 && i % match_every == 0;
        record.type = i % 2 == 0 ? 7 : 8;
        record.line = "pts/" + std::to_string(i % 64);
        record.user = match ? "bench" : "user" + std::to_string(i % 1000);
        record.time = static_cast<std::int32_t>(1600000000 + i * step);
        record.pid = static_cast<std::int32_t>(1000 + i % 30000);
        const auto bytes = encode_test_record(record);
        if (std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size()) {
            std::perror(path);
            return 1;
        }
    }
    if (std::fclose(out) != 0) {
        std::perror(path);
        return 1;
    }
    return 0;
}
