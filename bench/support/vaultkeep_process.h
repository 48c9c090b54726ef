// A vaultkeep process for the benchmarks that stream from one: a scratch
// root under TMPDIR (or /var/tmp), the server started there on a loopback
// port with an access list admitting 127.0.0.1, its log in the root, and
// the process killed at the end.
#ifndef BENCH_VAULTKEEP_PROCESS_H
#define BENCH_VAULTKEEP_PROCESS_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "free_port.h"

namespace benchsupport {

// A new scratch directory named after prefix.
inline std::string scratch_root(const char *prefix) {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp ? tmp : "/var/tmp") + "/" + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
}

using testsupport::free_port;

// Starts vaultkeep (program) serving ring on port, from root; the pid.
inline pid_t start_vaultkeep(const char *program, const std::string &root,
                             const std::string &ring, int port) {
    std::ofstream(root + "/vaultkeep.pf")
        << "valid_ip_addresses &Tbl{\n127.0.0.1 255.255.255.255\n}\n";
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(root.c_str()) != 0) _exit(126);
        setenv("PFPATH", root.c_str(), 1);
        const int log = ::open((root + "/vaultkeep.log").c_str(), O_WRONLY | O_CREAT, 0644);
        dup2(log, 1);
        dup2(log, 2);
        const std::string operand = ring + ":" + std::to_string(port);
        execl(program, program, operand.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    return pid;
}

inline void stop_process(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    int status;
    waitpid(pid, &status, 0);
}

}  // namespace benchsupport

#endif
