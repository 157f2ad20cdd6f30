#pragma once
// Runs the current test again, alone, in a fresh copy of this program: for cases that
// need a process of their own (first ids of a process, once-per-process set-up), a
// network of their own (a fixed port), or an unprivileged user while the suite runs as
// root. The copy finds itself through inTestChild().
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace TestSupport {

struct ChildOptions {
    // A network namespace of its own with only the loopback interface, up.
    bool ownNetwork = false;
    // Drops to user and group 65534 when started as root.
    bool unprivileged = false;
    std::chrono::seconds limit{60};
};

inline bool inTestChild() {
    return std::getenv("TARVIK_TEST_CHILD") != nullptr;
}

namespace Detail {

// Only system calls between fork and exec: the parent has other threads.
[[noreturn]] inline void childFail(const char* what) {
    const int saved = errno;
    (void)!::write(2, what, std::strlen(what));
    const char* reason = std::strerror(saved);
    (void)!::write(2, ": ", 2);
    (void)!::write(2, reason, std::strlen(reason));
    (void)!::write(2, "\n", 1);
    ::_exit(97);
}

inline void writeProcFile(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        childFail(path);
    ::close(fd);
}

inline void enterOwnNetwork(uid_t uid, gid_t gid, const std::string& uidMap,
                            const std::string& gidMap) {
    if (uid == 0) {
        if (::unshare(CLONE_NEWNET) != 0) childFail("unshare(CLONE_NEWNET)");
    } else {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
            childFail("unshare(CLONE_NEWUSER | CLONE_NEWNET)");
        writeProcFile("/proc/self/setgroups", "deny");
        writeProcFile("/proc/self/uid_map", uidMap);
        writeProcFile("/proc/self/gid_map", gidMap);
        (void)gid;
    }
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) childFail("socket");
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    if (::ioctl(s, SIOCGIFFLAGS, &ifr) != 0) childFail("SIOCGIFFLAGS lo");
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
    if (::ioctl(s, SIOCSIFFLAGS, &ifr) != 0) childFail("SIOCSIFFLAGS lo");
    ::close(s);
}

}  // namespace Detail

// The child's exit code: 0 when the test passed there, -1 when it was killed, could not
// be waited for, or outlived the limit (it is then killed).
inline int runTestInChild(const ChildOptions& options = {}) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::vector<std::string> args = {
        "/proc/self/exe",
        std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name(),
        "--gtest_repeat=1", "--gtest_shuffle=0"};
    // The child runs once, alone, and writes no report of its own.
    std::vector<std::string> env = {"TARVIK_TEST_CHILD=1"};
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "GTEST_", 6) != 0 && std::strncmp(*e, "TARVIK_TEST_CHILD=", 18) != 0)
            env.emplace_back(*e);
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    const std::string uidMap = "0 " + std::to_string(uid) + " 1";
    const std::string gidMap = "0 " + std::to_string(gid) + " 1";
    std::fflush(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (options.ownNetwork) Detail::enterOwnNetwork(uid, gid, uidMap, gidMap);
        if (options.unprivileged && uid == 0) {
            if (::setgroups(0, nullptr) != 0) Detail::childFail("setgroups");
            if (::setresgid(65534, 65534, 65534) != 0) Detail::childFail("setresgid");
            if (::setresuid(65534, 65534, 65534) != 0) Detail::childFail("setresuid");
        }
        ::execve(argv[0], argv.data(), envp.data());
        Detail::childFail("execve");
    }
    const auto end = std::chrono::steady_clock::now() + options.limit;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0) return -1;
        if (std::chrono::steady_clock::now() >= end) {
            ADD_FAILURE() << "the child running " << args[1] << " outlived "
                          << options.limit.count() << " s and was killed";
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace TestSupport

// Runs the rest of the test body in a child (see runTestInChild); the parent passes
// exactly when the child did.
#define TARVIK_RUN_IN_CHILD(...)                                                       \
    if (!::TestSupport::inTestChild()) {                                               \
        const int childExit = ::TestSupport::runTestInChild(__VA_ARGS__);              \
        EXPECT_EQ(childExit, 0) << "the copy of this test run in a child failed (97: " \
                                   "its set-up failed; see its output above)";         \
        return;                                                                        \
    }
