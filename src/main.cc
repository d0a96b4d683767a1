// login-history NAME: writes one line for each record of user NAME in the
// login log, in log order. Failures show only in the exit status.
#include <cstdio>
#include <ctime>

#include "command.h"

int main(int argc, char* argv[]) {
    if (argc != 2) {
        return STATUS_NOT_STARTED;
    }
    std::FILE* log = std::fopen(WTMP_PATH, "r");
    if (log == nullptr) {
        return STATUS_NOT_STARTED;
    }
    tzset();  // localtime_r need not read TZ itself

    const bool reported = report_user_history(log, stdout, argv[1]);
    const bool closed = std::fclose(log) == 0;
    // A write may fail only when the last buffered lines go out.
    const bool flushed = std::fflush(stdout) == 0;
    return reported && closed && flushed ? STATUS_OK : STATUS_FAILED;
}
