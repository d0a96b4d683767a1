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
#include <unistd.h>

#include <cstdlib>
#include <cstring>
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

bool route_stdout(output_kind output) {
    switch (output) {
        case output_kind::captured:
            return true;
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
    const scratch_dir var_log;
    if (var_log.path.empty()) {
        return {};
    }
    const std::string log_path = var_log.path + "/wtmp";
    if (s.kind == log_kind::file) {
        std::ofstream(log_path, std::ios::binary) << s.log;
        chmod(log_path.c_str(), s.mode);
    } else if (s.kind == log_kind::directory) {
        mkdir(log_path.c_str(), 0755);
    }
    return run_in(var_log.path, s, args);
}

outcome run_in(const std::string& var_log, const scene& s, const std::vector<std::string>& args) {
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

    const int out_fd = memfd_create("stdout", 0);
    const int err_fd = memfd_create("stderr", 0);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        if (dup2(out_fd, STDOUT_FILENO) < 0 || dup2(err_fd, STDERR_FILENO) < 0 ||
            !enter_private_var_log(var_log) || !route_stdout(s.output)) {
            _exit(SETUP_FAILED);
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
    outcome result;
    int wait_status = 0;
    if (child > 0 && waitpid(child, &wait_status, 0) == child) {
        result.status =
            WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    }
    result.out = contents_of(out_fd);
    result.err = contents_of(err_fd);
    return result;
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

void require_namespaces() {
    const auto reason = namespaces_unavailable();
    if (!reason) {
        return;
    }
    if (in_ci()) {
        FAIL() << *reason;
    }
    GTEST_SKIP() << *reason;
}
