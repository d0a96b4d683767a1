#include "test_run.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace {

// The child's status when it could not set up the run (the program ends 0, 1 or 255).
constexpr int SETUP_FAILED = 120;
constexpr uid_t NOBODY = 65534;
// A run still going after this is killed, with every process it started
// (strace and its tracee among them), and fails; every run takes seconds.
constexpr std::chrono::seconds RUN_LIMIT{30};
using deadline = std::chrono::steady_clock::time_point;

// One write, as /proc/self/uid_map and its kin take them.
bool write_file(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    const bool written =
        fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return written;
}

// Runs in the child: a private /var/log in its own mount (and, not root,
// user) namespace: the scene's directory, or a memory file system with the
// scene's log, which goes with the namespace however the run ends.
bool enter_private_var_log(const scene& s) {
    const std::string uid = std::to_string(getuid());
    const std::string gid = std::to_string(getgid());
    const char* const log = "/var/log/wtmp";
    return (unshare(CLONE_NEWNS) == 0 || (unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 &&
                                          write_file("/proc/self/setgroups", "deny") &&
                                          write_file("/proc/self/uid_map", "0 " + uid + " 1") &&
                                          write_file("/proc/self/gid_map", "0 " + gid + " 1"))) &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           (!s.var_log.empty()
                ? mount(s.var_log.c_str(), "/var/log", nullptr, MS_BIND, nullptr) == 0
                : mount("tmpfs", "/var/log", "tmpfs", 0, "mode=0755") == 0 &&
                      (s.kind != log_kind::file ||
                       (write_file(log, s.log) && chmod(log, s.mode) == 0)) &&
                      (s.kind != log_kind::directory || mkdir(log, 0755) == 0));
}

// Runs in the child: stdout as the scene asks; `end` is the program's end of
// the pseudo-terminal or of the pipe that the test reads.
bool route_stdout(output_kind output, int end) {
    using enum output_kind;
    int ends[2];
    return (output != broken_pipe || signal(SIGPIPE, SIG_IGN) != SIG_ERR) &&
           (output == captured ||
            ((output == terminal || output == head_pipe) && dup2(end, STDOUT_FILENO) >= 0) ||
            (output == dev_full && dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO) >= 0) ||
            (output == closed && close(STDOUT_FILENO) == 0) ||
            (output == broken_pipe && pipe(ends) == 0 && close(ends[0]) == 0 &&
             dup2(ends[1], STDOUT_FILENO) >= 0));
}

// Runs in the child: every signal at its default and none blocked, as a
// shell starts a command, whatever the test process inherited (ctest resets
// them; a script that ignores SIGXFSZ, or blocks SIGPIPE, does not).
bool reset_signals() {
    for (int sig = 1; sig < NSIG; ++sig) {
        signal(sig, SIG_DFL);  // fails harmlessly for SIGKILL, SIGSTOP and the C library's own
    }
    sigset_t none;
    return sigemptyset(&none) == 0 && sigprocmask(SIG_SETMASK, &none, nullptr) == 0;
}

// Milliseconds left until `end`, none when it has passed.
int milliseconds_left(deadline end) {
    using namespace std::chrono;
    return static_cast<int>(
        std::max<std::int64_t>(ceil<milliseconds>(end - steady_clock::now()).count(), 0));
}

// Everything that can be read from `fd`, which is then closed; a memfd is
// read from its start, a terminal's master end until it reports EIO.
std::string drain(int fd) {
    std::string text;
    char chunk[65536];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t got; (got = read(fd, chunk, sizeof chunk)) > 0;) {
        text.append(chunk, static_cast<std::size_t>(got));
    }
    close(fd);
    return text;
}

// The bytes read from `fd` up to and with the first newline, a byte at a
// time so that none past it is taken, until `end`; then `fd` is closed.
std::string first_line(int fd, deadline end) {
    std::string line;
    char byte = 0;
    pollfd ready{.fd = fd, .events = POLLIN, .revents = 0};
    while (byte != '\n' && poll(&ready, 1, milliseconds_left(end)) == 1 &&
           read(fd, &byte, 1) == 1) {
        line += byte;
    }
    close(fd);
    return line;
}

// The child's wait status once it has ended, or nothing when it is still going at `end`.
std::optional<int> wait_until(pid_t child, deadline end) {
    int status = 0;
    pid_t ended = 0;
    while ((ended = waitpid(child, &status, WNOHANG)) == 0 && milliseconds_left(end) > 0) {
        usleep(1000);
    }
    return ended == child ? std::optional<int>(status) : std::nullopt;
}

// Runs in the child, and does not return: sets up the run and execs. `fds` are the memfds for
// stdout and stderr, and the program's end of the pseudo-terminal or pipe.
[[noreturn]] void start(const scene& s, pid_t test_process, std::array<int, 3> fds,
                        std::vector<std::string> words) {
    // Only the standard descriptors reach the program; the rest of the
    // test's (gtest's own among them) would count against its limits.
    bool ready = setpgid(0, 0) == 0 && reset_signals() && dup2(fds[0], STDOUT_FILENO) >= 0 &&
                 dup2(fds[1], STDERR_FILENO) >= 0 && enter_private_var_log(s) &&
                 route_stdout(s.output, fds[2]) && close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0;
    for (const auto& [resource, value] : s.limits) {
        const rlimit limit{value, value};
        ready = ready && setrlimit(resource, &limit) == 0;
    }
    // As nobody, the binary itself bound into the private /var/log while still
    // root: the build may lie below a directory that nobody cannot enter, as
    // a CI clone can, and qemu resolves the path it is given.
    const std::string path = s.as_nobody ? "/var/log/login-history" : words[0];
    ready = ready && (!s.as_nobody ||
                      (write_file(path, "") &&
                       mount(words[0].c_str(), path.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
                       setgroups(0, nullptr) == 0 && setgid(NOBODY) == 0 && setuid(NOBODY) == 0));
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
#ifdef LOGIN_HISTORY_SANITIZED
    // LeakSanitizer's check at exit reads /proc, which the confined binary cannot (valgrind's test
    // checks for leaks); a preloaded probe comes before the sanitizer's runtime.
    ready = ready && setenv("ASAN_OPTIONS", "detect_leaks=0:verify_asan_link_order=0", 1) == 0;
#endif
    // The run dies with the test process, however that ends: the signal is
    // asked for last, as a change of user clears it, and outlives the exec.
    if (ready && setenv("TZ", s.tz.c_str(), 1) == 0 && prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 &&
        getppid() == test_process) {
        execvp(path.c_str(), argv.data());
    }
    _exit(SETUP_FAILED);
}

}  // namespace

void PrintTo(const outcome& result, std::ostream* out) {
    *out << "{status " << result.status << ", out \"" << result.out << "\", err \"" << result.err
         << "\"}";
}

scratch_dir::scratch_dir(const std::string& parent) : path(parent + "/login-history-test.XXXXXX") {
    if (mkdtemp(path.data()) == nullptr || chmod(path.c_str(), 0755) != 0) {  // for user nobody
        std::perror(path.c_str());
        std::abort();
    }
}

scratch_dir::~scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

outcome run(const scene& s, const std::vector<std::string>& args) {
    int ends[2] = {-1, -1};  // the test's end of a pseudo-terminal or pipe, and the program's
    if ((s.output == output_kind::terminal &&
         openpty(&ends[0], &ends[1], nullptr, nullptr, nullptr) != 0) ||
        // The smallest pipe: the report cannot all fit in it before the reader has gone.
        (s.output == output_kind::head_pipe &&
         (pipe2(ends, O_CLOEXEC) != 0 || fcntl(ends[0], F_SETPIPE_SZ, 1) < 0))) {
        return {.status = -1, .err = "no pseudo-terminal or pipe"};
    }

    std::vector<std::string> words = s.wrapper;
    words.emplace_back(LOGIN_HISTORY_BINARY);
    words.insert(words.end(), args.begin(), args.end());
    const int out_fd = memfd_create("stdout", MFD_CLOEXEC);
    const int err_fd = memfd_create("stderr", MFD_CLOEXEC);
    std::fflush(nullptr);
    const pid_t test_process = getpid();
    const pid_t child = fork();
    if (child == 0) {
        start(s, test_process, {out_fd, err_fd, ends[1]}, std::move(words));
    }
    const deadline end = std::chrono::steady_clock::now() + RUN_LIMIT;
    outcome result{.status = -1};
    if (s.output == output_kind::head_pipe) {
        close(ends[1]);
        result.out = first_line(ends[0], end);
    }
    std::optional<int> status = child > 0 ? wait_until(child, end) : std::nullopt;
    if (child > 0 && !status) {
        kill(-child, SIGKILL);
        waitpid(child, nullptr, 0);
        result.err = "still running after " + std::to_string(RUN_LIMIT.count()) + " s: killed\n";
    } else if (status) {
        result.status = WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
    }
    if (s.output == output_kind::terminal) {
        close(ends[1]);
        result.out = drain(ends[0]);
        std::erase(result.out, '\r');  // the terminal's, before each newline
    }
    result.out += drain(out_fd);
    result.err += drain(err_fd);
    return result;
}

void expect_runs(const std::vector<run_case>& cases) {
    std::optional<std::string> left_out;
    for (const run_case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.setup.as_nobody && geteuid() != 0) {
            left_out = (left_out ? *left_out + ", " : "rows as nobody, which need root: ") + c.name;
        } else {
            EXPECT_EQ(run(c.setup, c.args), c.expected);
        }
    }
    SKIP_OR_FAIL_IF(left_out);
}

std::string expected_report(const std::vector<test_record>& records, const std::string& user) {
    std::string report;
    for (const test_record& r : records) {
        if (r.user.substr(0, LOGIN_TEXT_SIZE) == user) {
            report += std::to_string(r.type) + ';' + r.line.substr(0, LOGIN_TEXT_SIZE) + ';' +
                      std::to_string(r.termination) + ';' + std::to_string(r.exit) + ';' +
                      libc_time_text(as_logged(r.time));
        }
    }
    return report;
}

void use_time_zone(const std::string& tz) {
    setenv("TZ", tz.c_str(), 1);
    tzset();
}

const std::vector<zone_changes> ZONE_CHANGES = {
    {"America/Adak", {-5745600, 420037200}, "tzdata"},  // 1969 fall back, 1983 spring
    {"Europe/Dublin", {-1691962479, -1680471279, 57722400}, "tzdata"},  // 1916 odd seconds; 1971
    {"Europe/Amsterdam", {-1025745572}, "tzdata"},                      // 1937: +1:19:32 to +1:20
    {"Europe/Berlin", {1679792400}, "tzdata"},                          // 2023 spring forward
    {"Australia/Lord_Howe", {1111849200, 1130599800}, "tzdata"},        // half-hour summer time
    {"Antarctica/Troll", {1111885200, 1130634000}, "tzdata"},           // two-hour summer time
    // The leap second ending 2016; Debian moved right/ to tzdata-legacy in 13.
    {"right/UTC", {1483228826}, "tzdata-legacy, or tzdata before Debian 13"},
    {"AAA0BBB,J100/0:00:10,J100/1:00:40", {1712707210}},   // 2024: summer time for 30 s, 0:00:10
    {"AST4ADT,M3.2.0/2:00:10,M3.2.0/3:00:40", {5724010}},  // 1970: summer for 30 s, from 2:00:10
    {"AAA-0:19:32BBB-0:20,M3.5.0/2,M10.5.0/3", {1679794828, 1698547200}},  // +0:19:32, +0:20
};

std::optional<std::string> zone_missing(const zone_changes& zone) {
    const char* dir = std::getenv("TZDIR");
    const std::string file = std::string(dir ? dir : "/usr/share/zoneinfo") + "/" + zone.tz;
    if (zone.package == nullptr || access(file.c_str(), R_OK) == 0) {
        return std::nullopt;
    }
    return file + " is not installed (" + zone.package + ")";
}

std::vector<zone_changes> installed_zones(std::optional<std::string>& missing) {
    std::vector<zone_changes> zones;
    for (const zone_changes& zone : ZONE_CHANGES) {
        if (const std::optional<std::string> why = zone_missing(zone)) {
            missing = missing ? *missing + ", " + *why : *why;
        } else {
            zones.push_back(zone);
        }
    }
    return zones;
}

std::vector<std::int64_t> seconds_around(const zone_changes& zone, int span) {
    use_time_zone(zone.tz);
    std::vector<std::int64_t> seconds;
    for (const std::int64_t change : zone.changes) {
        bool irregular = false;
        std::tm before{};
        for (std::int64_t t = change - span; t <= change + span; ++t) {
            const auto when = static_cast<std::time_t>(t);
            std::tm now{};
            localtime_r(&when, &now);
            irregular |=
                t > change - span && (now.tm_gmtoff != before.tm_gmtoff || now.tm_sec == 60);
            before = now;
            seconds.push_back(t);
        }
        EXPECT_TRUE(irregular) << zone.tz << ": nothing at " << change;
    }
    return seconds;
}

std::optional<std::string> namespaces_unavailable() {
    // Without an argument the binary ends at once with status 1, where the
    // run could be set up at all.
    static const bool available = run({.kind = log_kind::missing}, {}).status == 1;
    return available ? std::nullopt
                     : std::optional<std::string>(
                           "cannot give the binary a private /var/log: a mount namespace (and a "
                           "user one, not as root) was refused, or / is no mount point (a chroot)");
}

std::optional<std::string> tool_missing(const std::string& tool) {
    const bool found = std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
    return found ? std::nullopt : std::optional<std::string>(tool + " is not installed");
}
