// The launcher for the tests (see launcher.h).
#include "launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace testsupport {

namespace {

template <typename Condition>
bool within(double seconds, Condition condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

Launcher::Launcher() = default;

Launcher::~Launcher() {
    if (pid_ > 0) {
        // Programs still running are its children (not yet reaped), so
        // their pids are not reused before this.
        std::vector<int> running = started();
        for (const End &e : ends())
            for (int &p : running)
                if (p == e.pid) p = 0;
        for (int p : running)
            if (p > 0) ::kill(p, SIGKILL);
        if (!running.empty()) wait_ends(started().size(), 10.0);
        stop();
    }
    const std::string text = log();
    for (const char *report : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer",
                               "ERROR: LeakSanitizer", "runtime error:"})
        if (text.find(report) != std::string::npos) ADD_FAILURE() << text;
}

bool Launcher::start(const std::vector<std::string> &command, const std::string &workdir,
                     const std::vector<std::string> &env) {
    const std::string logfile = scratch_.file("launcher.log");
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        if (!workdir.empty() && chdir(workdir.c_str()) != 0) _exit(126);
        for (const char *v : {"ELOG_MAXMSG", "ELOG_WAIT", "ELOG_SIGNALS", "ELOG_DELIVER",
                              "ELOG_TAG", "ELOG_DEBUG"})
            unsetenv(v);
        for (const std::string &e : env) putenv(const_cast<char *>(e.c_str()));
        const int log = ::open(logfile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(log, 1);
        dup2(log, 2);
        const int null = ::open("/dev/null", O_RDONLY);
        dup2(null, 0);
        for (int fd = 3; fd < 4096; fd++) ::close(fd);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(TCPLAUNCH_PROGRAM));
        for (const std::string &a : command) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(TCPLAUNCH_PROGRAM, argv.data());
        _exit(127);
    }
    const std::string marker = "listening on port ";
    const bool up = within(60.0, [&] { return log().find(marker) != std::string::npos; });
    if (!up) return false;
    const std::string text = log();
    port_ = std::atoi(text.c_str() + text.find(marker) + marker.size());
    return port_ > 0;
}

std::string Launcher::ring() const { return "127.0.0.1:" + std::to_string(port_); }

std::string Launcher::log() const { return read_file(scratch_.file("launcher.log")); }

bool Launcher::log_shows(const std::string &text, double seconds) const {
    return within(seconds, [&] { return log().find(text) != std::string::npos; });
}

std::vector<int> Launcher::started() const {
    std::vector<int> pids;
    std::istringstream lines(log());
    std::string line;
    while (std::getline(lines, line)) {
        int pid = 0, end = 0;
        if (std::sscanf(line.c_str(), "tcplaunch: pid %d serves %n", &pid, &end) == 1 && end > 0)
            pids.push_back(pid);
    }
    return pids;
}

std::vector<Launcher::End> Launcher::ends() const {
    std::vector<End> found;
    std::istringstream lines(log());
    std::string line;
    while (std::getline(lines, line)) {
        End e;
        if (std::sscanf(line.c_str(), "tcplaunch: pid %d exited with status %d", &e.pid, &e.code) == 2) {
            e.exited = true;
            found.push_back(e);
        } else if (std::sscanf(line.c_str(), "tcplaunch: pid %d killed by signal %d", &e.pid,
                               &e.code) == 2) {
            found.push_back(e);
        }
    }
    return found;
}

bool Launcher::wait_ends(std::size_t count, double seconds, End *last) const {
    const bool ended = within(seconds, [&] { return ends().size() >= count; });
    if (ended && last != nullptr) *last = ends()[count - 1];
    return ended;
}

void Launcher::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

}  // namespace testsupport
