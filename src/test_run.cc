#include "test_run.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

extern char** environ;

namespace {

// Statuses the child uses when it could not set up the run; the program
// itself only ends with 0, 1 or 255.
constexpr int SETUP_FAILED = 120;
constexpr int EXEC_FAILED = 127;
constexpr uid_t NOBODY = 65534;

bool write_file(const char* path, const std::string& text) {
    const int fd = open(path, O_WRONLY);
    if (fd < 0) {
        return false;
    }
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// Runs in the child: a mount namespace of its own (inside a user namespace
// when not root) with `dir` mounted over /var/log.
bool enter_private_var_log(const std::string& dir) {
    if (unshare(CLONE_NEWNS) != 0) {
        const uid_t uid = getuid();
        const gid_t gid = getgid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 ||
            !write_file("/proc/self/setgroups", "deny") ||
            !write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
            return false;
        }
    }
    return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount(dir.c_str(), "/var/log", nullptr, MS_BIND, nullptr) == 0;
}

// `terminal` is the pseudo-terminal's own end, open in the child.
bool route_stdout(output_kind output, int terminal) {
    switch (output) {
        case output_kind::captured:
            return true;
        case output_kind::terminal:
            return dup2(terminal, STDOUT_FILENO) >= 0;
        case output_kind::dev_full: {
            const int fd = open("/dev/full", O_WRONLY);
            return fd >= 0 && dup2(fd, STDOUT_FILENO) >= 0;
        }
        case output_kind::closed:
            return close(STDOUT_FILENO) == 0;
        case output_kind::broken_pipe: {
            int ends[2];
            if (pipe(ends) != 0) {
                return false;
            }
            close(ends[0]);
            return dup2(ends[1], STDOUT_FILENO) >= 0 && signal(SIGPIPE, SIG_IGN) != SIG_ERR;
        }
    }
    return false;
}

std::string contents_of(int fd) {
    std::string text;
    char chunk[65536];
    lseek(fd, 0, SEEK_SET);
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<std::size_t>(got));
    }
    close(fd);
    return text;
}

// A pseudo-terminal in raw mode, so that its bytes pass unchanged: the
// master end for the caller to read and the terminal end for the program.
bool open_terminal(int& master, int& terminal) {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        return false;
    }
    const char* name = ptsname(master);
    terminal = name == nullptr ? -1 : open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios mode{};
    if (terminal < 0 || tcgetattr(terminal, &mode) != 0) {
        return false;
    }
    cfmakeraw(&mode);
    return tcsetattr(terminal, TCSANOW, &mode) == 0;
}

// What the program wrote to the terminal, once its end is closed.
std::string terminal_contents(int master) {
    std::string text;
    char chunk[4096];
    ssize_t got;
    while ((got = read(master, chunk, sizeof chunk)) > 0) {  // EIO once drained
        text.append(chunk, static_cast<std::size_t>(got));
    }
    close(master);
    return text;
}

std::vector<char*> pointers_to(std::vector<std::string>& words) {
    std::vector<char*> pointers;
    for (std::string& word : words) {
        pointers.push_back(word.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

scratch_dir::scratch_dir(const std::string& parent) {
    std::string name = parent + "/login-history-test.XXXXXX";
    if (mkdtemp(name.data()) != nullptr) {
        path = name;
        chmod(name.c_str(), 0755);  // so an unprivileged run can reach the log
    }
}

scratch_dir::~scratch_dir() {
    if (!path.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
}

outcome run(const scene& s, const std::vector<std::string>& args) {
    const scratch_dir scratch;
    std::string var_log = s.var_log;
    if (var_log.empty()) {
        if (scratch.path.empty()) {
            return {};
        }
        var_log = scratch.path;
        const std::string log_path = var_log + "/wtmp";
        if (s.kind == log_kind::file) {
            std::ofstream(log_path, std::ios::binary) << s.log;
            chmod(log_path.c_str(), s.mode);
        } else if (s.kind == log_kind::directory) {
            mkdir(log_path.c_str(), 0755);
        }
    }

    std::vector<std::string> words = s.wrapper;
    words.emplace_back(LOGIN_HISTORY_BINARY);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<std::string> env_words{"TZ=" + s.tz};
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "TZ=", 3) != 0) {
            env_words.emplace_back(*entry);
        }
    }
    const std::vector<char*> argv = pointers_to(words);
    const std::vector<char*> envp = pointers_to(env_words);

    const int out_fd = memfd_create("stdout", MFD_CLOEXEC);
    const int err_fd = memfd_create("stderr", MFD_CLOEXEC);
    int master = -1;
    int terminal = -1;
    if (s.output == output_kind::terminal && !open_terminal(master, terminal)) {
        return {};
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        // Only the standard descriptors reach the program; the rest of the
        // test's (gtest's own among them) would count against open_files.
        if (dup2(out_fd, STDOUT_FILENO) < 0 || dup2(err_fd, STDERR_FILENO) < 0 ||
            !enter_private_var_log(var_log) || !route_stdout(s.output, terminal) ||
            close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
            _exit(SETUP_FAILED);
        }
        if (s.open_files) {
            const rlimit limit{*s.open_files, *s.open_files};
            if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
                _exit(SETUP_FAILED);
            }
        }
        if (s.as_nobody) {
            // Opened while still root: the build may lie below a directory
            // that the unprivileged user cannot enter, as a CI clone can.
            const int program = open(argv[0], O_RDONLY | O_CLOEXEC);
            if (program < 0 || setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 ||
                setuid(NOBODY) != 0) {
                _exit(SETUP_FAILED);
            }
            fexecve(program, argv.data(), envp.data());
            _exit(EXEC_FAILED);
        }
        execvpe(argv[0], argv.data(), envp.data());
        _exit(EXEC_FAILED);
    }
    if (terminal >= 0) {
        close(terminal);
    }
    outcome result;
    int wait_status = 0;
    if (child > 0 && waitpid(child, &wait_status, 0) == child) {
        result.status =
            WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    }
    result.out = s.output == output_kind::terminal ? terminal_contents(master) : "";
    const std::string captured = contents_of(out_fd);
    result.out += captured;
    result.err = contents_of(err_fd);
    return result;
}

std::string libc_time_text(std::int64_t seconds) {
    const auto when = static_cast<std::time_t>(seconds);
    std::tm local{};
    const char* text = nullptr;
    if (when == seconds && localtime_r(&when, &local) != nullptr) {
        text = std::asctime(&local);  // not asctime_r, which stops at four-digit years
    }
    return text != nullptr ? text : std::to_string(seconds) + "\n";
}

int irregular_seconds(std::int64_t from, std::int64_t to) {
    int count = 0;
    std::tm before{};
    for (std::int64_t t = from; t <= to; ++t) {
        const auto when = static_cast<std::time_t>(t);
        std::tm now{};
        localtime_r(&when, &now);
        count += t > from && (now.tm_gmtoff != before.tm_gmtoff || now.tm_sec == 60) ? 1 : 0;
        before = now;
    }
    return count;
}

std::optional<std::string> namespaces_unavailable() {
    static const std::optional<std::string> reason = []() -> std::optional<std::string> {
        const pid_t child = fork();
        if (child == 0) {
            _exit(enter_private_var_log("/tmp") ? 0 : 1);
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0) {
            return "cannot give the binary a private /var/log: creating a mount namespace "
                   "(or a user namespace as an unprivileged user) was refused";
        }
        return std::nullopt;
    }();
    return reason;
}

bool in_ci() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

void LoginHistory::SetUp() {
    const auto reason = namespaces_unavailable();
    if (!reason) {
        return;
    }
    if (in_ci()) {
        FAIL() << *reason;
    }
    GTEST_SKIP() << *reason;
}
