// read_floor: the benchmark's floor for a scan in which no record matches: /var/log/wtmp read as
// login-history reads it, 384 bytes at a time through the same 1 MiB buffer, looking at nothing.
#include <cstddef>
#include <cstdio>

int main() {
    std::FILE* log = std::fopen("/var/log/wtmp", "r");
    if (log == nullptr) {
        return 1;
    }
    static char buffer[std::size_t{1} << 20];
    (void)std::setvbuf(log, buffer, _IOFBF, sizeof buffer);
    unsigned char record[384];
    while (fread_unlocked(record, 1, sizeof record, log) == sizeof record) {
    }
    return std::fclose(log) == 0 ? 0 : 255;
}
