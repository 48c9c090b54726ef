// Test helpers for reelhouse (see rh_testing.h).
#include "rh_testing.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "torvik.h"

namespace rhtest {

std::vector<Packet> read_packets(const std::string &path) {
    std::vector<Packet> packets;
    const int orb = torvikopen(const_cast<char *>(path.c_str()), const_cast<char *>("r"));
    if (orb < 0) return packets;
    char srcname[64];
    char *body = nullptr;
    int bufsize = 0, nbytes = 0, pktid = 0;
    double time = 0.0;
    while (torvikreap(orb, &pktid, srcname, &time, &body, &nbytes, &bufsize) == 0)
        packets.push_back({pktid, srcname, time, std::string(body, static_cast<std::size_t>(nbytes))});
    std::free(body);
    torvikclose(orb);
    return packets;
}

bool Served::start(const std::string &operand, const std::vector<std::string> &args,
                   const std::vector<std::string> &env) {
    std::vector<std::string> command = {REELHOUSE_PROGRAM};
    command.insert(command.end(), args.begin(), args.end());
    command.push_back(operand);
    return launcher_.start(command, scratch_.path(), env);
}

int Served::status_of(std::size_t n, double seconds) {
    testsupport::Launcher::End end;
    if (!launcher_.wait_ends(n, seconds, &end)) return -1;
    return end.exited ? end.code : 128 + end.code;
}

bool catches(int pid, int sig) {
    return vktest::eventually(
        [&] {
            const std::string status =
                testsupport::read_file("/proc/" + std::to_string(pid) + "/status");
            const std::size_t at = status.find("SigCgt:");
            if (at == std::string::npos) return false;
            const unsigned long long mask = std::strtoull(status.c_str() + at + 7, nullptr, 16);
            return ((mask >> (sig - 1)) & 1) != 0;
        },
        20.0);
}

Run run(const std::vector<std::string> &argv) {
    Run result;
    testsupport::ScratchDir scratch;
    const std::string out = scratch.file("out"), err = scratch.file("err");
    const pid_t pid = fork();
    if (pid == 0) {
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, 1);
        dup2(e, 2);
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = testsupport::read_file(out);
    result.err = testsupport::read_file(err);
    return result;
}

}  // namespace rhtest
