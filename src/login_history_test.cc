// End-to-end tests of the built login-history binary. Each run gets its own
// /var/log, a bind mount of a scratch directory inside a private mount
// namespace, so the machine's real log is never read or touched.
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
#include <optional>
#include <string>
#include <vector>

#include "test_log.h"

extern char** environ;

namespace {

// Statuses the child uses when it could not set up the run; the program
// itself only ends with 0, 1 or 255.
constexpr int SETUP_FAILED = 120;
constexpr int EXEC_FAILED = 127;
constexpr uid_t NOBODY = 65534;

enum class log_kind { file, missing, directory };
enum class output_kind { captured, dev_full, closed, broken_pipe };

struct scene {
    std::string log;  // the bytes of /var/log/wtmp
    log_kind kind = log_kind::file;
    mode_t mode = 0644;
    bool as_nobody = false;
    output_kind output = output_kind::captured;
    std::string tz = "UTC0";
    std::vector<std::string> wrapper;  // runs the binary under e.g. strace
};

struct outcome {
    int status = -1;
    std::string out;
    std::string err;
};

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

class scratch_dir {
  public:
    scratch_dir() {
        char name[] = "/tmp/login-history-test.XXXXXX";
        if (mkdtemp(name) != nullptr) {
            path = name;
            chmod(name, 0755);  // so an unprivileged run can reach the log
        }
    }
    ~scratch_dir() {
        if (!path.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    std::string path;
};

outcome run(const scene& s, const std::vector<std::string>& args) {
    scratch_dir var_log;
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

    std::vector<std::string> words = s.wrapper;
    words.emplace_back(LOGIN_HISTORY_BINARY);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    std::vector<std::string> env_words{"TZ=" + s.tz};
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "TZ=", 3) != 0) {
            env_words.emplace_back(*entry);
        }
    }
    std::vector<char*> envp;
    for (std::string& word : env_words) {
        envp.push_back(word.data());
    }
    envp.push_back(nullptr);

    const int out_fd = memfd_create("stdout", 0);
    const int err_fd = memfd_create("stderr", 0);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        if (dup2(out_fd, STDOUT_FILENO) < 0 || dup2(err_fd, STDERR_FILENO) < 0 ||
            !enter_private_var_log(var_log.path) || !route_stdout(s.output)) {
            _exit(SETUP_FAILED);
        }
        if (s.as_nobody &&
            (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0)) {
            _exit(SETUP_FAILED);
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

// Why runs cannot be given a private /var/log here, or nothing when they can.
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

class LoginHistory : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const auto reason = namespaces_unavailable()) {
            const char* ci = std::getenv("CI");
            if (ci != nullptr && std::string(ci) == "true") {
                FAIL() << *reason;
            }
            GTEST_SKIP() << *reason;
        }
    }
};

const std::string SOME_LOG = test_log({{.user = "root"}, {.user = "alice"}});
const std::string ROOT_LINE = "7;tty1;0;0;Thu Jan  1 00:00:00 1970\n";

TEST_F(LoginHistory, StartsOnlyWithOneArgumentAndAReadableLog) {
    struct {
        const char* name;
        scene setup;
        std::vector<std::string> args;
        int status;
        std::string out;
    } const cases[] = {
        {"no argument", {.log = SOME_LOG}, {}, 1, ""},
        {"two arguments", {.log = SOME_LOG}, {"root", "alice"}, 1, ""},
        {"missing log", {.kind = log_kind::missing}, {"root"}, 1, ""},
        {"log is a directory: read error", {.kind = log_kind::directory}, {"root"}, 255, ""},
        {"empty log", {.log = ""}, {"root"}, 0, ""},
        {"readable log", {.log = SOME_LOG}, {"root"}, 0, ROOT_LINE},
        {"user that matches nothing", {.log = SOME_LOG}, {"nobody"}, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const outcome result = run(c.setup, c.args);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, "");
    }
}

TEST_F(LoginHistory, LogTheUserCannotRead) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the binary as an unprivileged user";
    }
    const outcome result = run({.log = SOME_LOG, .mode = 0600, .as_nobody = true}, {"root"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    // The same log readable by the same user: the refusal above was the mode.
    EXPECT_EQ(run({.log = SOME_LOG, .mode = 0644, .as_nobody = true}, {"root"}).out, ROOT_LINE);
}

TEST_F(LoginHistory, SelectsExactlyTheNamedUserInLogOrder) {
    const std::string FULL_32 = "abcdefghijklmnopqrstuvwxyz012345";
    const std::string log =
        test_log({
            {.line = "tty1", .user = "root", .time = 100},
            {.line = "tty2", .user = "Root"},
            {.line = "tty3", .user = "ro"},
            {.line = "tty4", .user = "rootx"},
            {.type = 8, .line = "", .user = "", .termination = 1, .exit = 2},
            {.line = "pts/9", .user = "-n"},
            {.type = -2,
             .line = "pts/0;x\xE9\x7F",
             .user = "root",
             .termination = -2,
             .exit = -1,
             .time = -86400},
            {.line = FULL_32, .user = FULL_32, .time = 1000000000},
            {.line = "tty1", .user = "root", .time = 100},
        }) +
        test_log({{.user = "root"}}).substr(0, 200);  // a record still being written
    struct {
        std::string name;
        std::string out;
    } const cases[] = {
        {"root",
         "7;tty1;0;0;Thu Jan  1 00:01:40 1970\n"
         "-2;pts/0;x\xE9\x7F;-2;-1;Wed Dec 31 00:00:00 1969\n"
         "7;tty1;0;0;Thu Jan  1 00:01:40 1970\n"},
        {"Root", "7;tty2;0;0;Thu Jan  1 00:00:00 1970\n"},
        {"ro", "7;tty3;0;0;Thu Jan  1 00:00:00 1970\n"},
        {"rootx", "7;tty4;0;0;Thu Jan  1 00:00:00 1970\n"},
        {"", "8;;1;2;Thu Jan  1 00:00:00 1970\n"},
        {"-n", "7;pts/9;0;0;Thu Jan  1 00:00:00 1970\n"},
        {FULL_32, "7;" + FULL_32 + ";0;0;Sun Sep  9 01:46:40 2001\n"},
        {FULL_32 + "6", ""},
        {"ROOT", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const outcome result = run({.log = log}, {c.name});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, "");
    }
}

TEST_F(LoginHistory, TimeZoneChangesOnlyTheTimeTexts) {
    const std::string log = test_log({
        {.type = 7, .line = "pts/1", .user = "alice", .time = 1689000000},
        {.type = 8, .line = "pts/1", .user = "alice", .exit = 3, .time = 1700000000},
    });
    struct {
        const char* tz;
        std::string out;
    } const cases[] = {
        {"UTC0", "7;pts/1;0;0;Mon Jul 10 14:40:00 2023\n8;pts/1;0;3;Tue Nov 14 22:13:20 2023\n"},
        {"EST5EDT,M3.2.0,M11.1.0",
         "7;pts/1;0;0;Mon Jul 10 10:40:00 2023\n8;pts/1;0;3;Tue Nov 14 17:13:20 2023\n"},
        {"<+14>-14",
         "7;pts/1;0;0;Tue Jul 11 04:40:00 2023\n8;pts/1;0;3;Wed Nov 15 12:13:20 2023\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tz);
        const outcome result = run({.log = log, .tz = c.tz}, {"alice"});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, c.out);
    }
}

TEST_F(LoginHistory, OutputThatCannotBeWrittenIsAFailure) {
    std::vector<test_record> many(5000, test_record{.user = "root"});
    const std::string small = SOME_LOG;
    const std::string large = test_log(many);  // more than stdout's buffer holds
    struct {
        const char* name;
        scene setup;
        std::string user;
        int status;
    } const cases[] = {
        {"/dev/full, one line due", {.log = small, .output = output_kind::dev_full}, "root", 255},
        {"/dev/full, many lines due", {.log = large, .output = output_kind::dev_full}, "root", 255},
        {"/dev/full, nothing due", {.log = small, .output = output_kind::dev_full}, "bob", 0},
        {"closed stdout, one line due", {.log = small, .output = output_kind::closed}, "root", 255},
        {"closed stdout, nothing due", {.log = small, .output = output_kind::closed}, "bob", 0},
        {"broken pipe, SIGPIPE ignored",
         {.log = large, .output = output_kind::broken_pipe},
         "root",
         255},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const outcome result = run(c.setup, {c.user});
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.err, "");
    }
}

}  // namespace
