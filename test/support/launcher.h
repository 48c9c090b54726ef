// A tcplaunch process for the tests: it listens on a free loopback port
// and starts a program once per connection, the connected socket as the
// program's standard input. Its log (and the started programs' standard
// output and error) goes to a file of its own scratch directory.
#ifndef TEST_SUPPORT_LAUNCHER_H
#define TEST_SUPPORT_LAUNCHER_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "scratch_dir.h"

namespace testsupport {

class Launcher {
  public:
    // How one started program ended.
    struct End {
        int pid = 0;
        bool exited = false;  // else killed by a signal
        int code = 0;         // exit status or signal number
    };

    Launcher();
    // Kills the started programs that still run, then stops the launcher;
    // a sanitizer report in the log fails the running test.
    ~Launcher();
    Launcher(const Launcher &) = delete;
    Launcher &operator=(const Launcher &) = delete;

    // Starts the launcher for command (a program path and its arguments),
    // the programs running in workdir (when given) with the environment
    // entries env ("NAME=value") added. True once it listens.
    bool start(const std::vector<std::string> &command, const std::string &workdir = "",
               const std::vector<std::string> &env = {});

    int port() const { return port_; }
    // The ring name clients use: "127.0.0.1:port".
    std::string ring() const;
    // Everything logged so far.
    std::string log() const;
    // Waits up to `seconds` for text to appear in the log.
    bool log_shows(const std::string &text, double seconds = 20.0) const;

    // The pids started, in order, and the ends logged so far.
    std::vector<int> started() const;
    std::vector<End> ends() const;
    // Waits up to `seconds` until `count` started programs have ended;
    // the end of the last of them.
    bool wait_ends(std::size_t count, double seconds, End *last = nullptr) const;

    // Stops the launcher (SIGTERM); its programs go on.
    void stop();
    pid_t pid() const { return pid_; }

  private:
    ScratchDir scratch_;
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace testsupport

#endif
