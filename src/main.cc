// login-history NAME: writes one line for each record of user NAME in the
// login log, in log order. Failures show only in the exit status.
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "command.h"

namespace {

constexpr int STATUS_OK = 0;
// Wrong argument count, or the log could not be opened; nothing was written.
constexpr int STATUS_NOT_STARTED = 1;
// The log was opened but reading it, writing the report, or closing the log
// or standard output failed; the lines already written stand. SIGPIPE and
// SIGXFSZ are left as inherited: at their default, as a shell leaves them,
// a filter whose reader has gone ends quietly, killed; ignored, the write
// fails and ends here.
constexpr int STATUS_FAILED = 255;

// Reads and writes of these sizes cost little more per call than stdio's
// default 4 KiB, so fewer calls bring the scan close to the cost of a copy.
constexpr std::size_t LOG_BUFFER_SIZE = std::size_t{1} << 20;
constexpr std::size_t OUTPUT_BUFFER_SIZE = std::size_t{64} << 10;

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        return STATUS_NOT_STARTED;
    }
    // The zone is read before the log is opened: reading a zone file takes a
    // descriptor, and where the log took the last one the C library would
    // fall back to UTC without a word. Now a run has both or fails to open
    // the log.
    tzset();
    std::FILE* log = std::fopen(WTMP_PATH, "r");
    if (log == nullptr) {
        return STATUS_NOT_STARTED;
    }
    // Static: over a megabyte, too much for a small stack.
    static char log_buffer[LOG_BUFFER_SIZE];
    static char output_buffer[OUTPUT_BUFFER_SIZE];
    // A stream whose buffer cannot be changed keeps its own: slower, not wrong.
    (void)std::setvbuf(log, log_buffer, _IOFBF, sizeof log_buffer);
    if (isatty(STDOUT_FILENO) == 0) {  // a terminal keeps its lines coming
        (void)std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
    }
    // Whoever writes the log chooses its bytes: from here the scan keeps only its descriptors.
    confine_scan();

    const bool reported = report_user_history(log, stdout, argv[1]);
    const bool log_closed = std::fclose(log) == 0;
    const bool output_closed = close_output(stdout);
    return reported && log_closed && output_closed ? STATUS_OK : STATUS_FAILED;
}
