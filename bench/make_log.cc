// make_log RECORDS MATCH_EVERY PATH: writes a login log of RECORDS records to
// PATH for benchmarks. Every MATCH_EVERY-th record (none when 0) belongs to
// user "bench"; the rest to users "user0".."user999". Logins and logouts
// alternate on pseudo-terminals, a few seconds apart.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "test_log.h"

int main(int argc, char* argv[]) {
    if (argc != 4) {
        std::fputs("usage: make_log RECORDS MATCH_EVERY PATH\n", stderr);
        return 2;
    }
    const long records = std::strtol(argv[1], nullptr, 10);
    const long match_every = std::strtol(argv[2], nullptr, 10);
    std::FILE* out = std::fopen(argv[3], "w");
    if (out == nullptr || records < 0 || match_every < 0) {
        std::perror(argv[3]);
        return 1;
    }
    test_record record;
    for (long i = 0; i < records; ++i) {
        const bool match = match_every > 0 && i % match_every == 0;
        record.type = i % 2 == 0 ? 7 : 8;
        record.line = "pts/" + std::to_string(i % 64);
        record.user = match ? "bench" : "user" + std::to_string(i % 1000);
        record.time = static_cast<std::int32_t>(1600000000 + i * 7);
        record.pid = static_cast<std::int32_t>(1000 + i % 30000);
        const auto bytes = encode_test_record(record);
        if (std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size()) {
            std::perror(argv[3]);
            return 1;
        }
    }
    if (std::fclose(out) != 0) {
        std::perror(argv[3]);
        return 1;
    }
    return 0;
}
