// Running other programs without a shell, and the login check.
#include "commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "alloc.h"
#include "elog.h"
#include "installroot.h"

namespace {

// Exit status of a child; 128 plus the signal number when a signal ended it.
int status_of(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}

// Waits for child pid alone, repeating on EINTR.
pid_t wait_child(pid_t pid, int *status) {
    pid_t r;
    do {
        r = waitpid(pid, status, 0);
    } while (r < 0 && errno == EINTR);
    return r;
}

// Writes all of text to fd (used in a forked child: no allocation).
void write_all(int fd, const char *text, std::size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, text, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;
        }
        text += w;
        n -= static_cast<std::size_t>(w);
    }
}

// Length of s up to its first blank or '&'.
std::size_t command_word_length(const char *s) {
    return std::strcspn(s, " &");
}

// The access tests of check_cmd on one candidate; 1 when it does not exist.
int test_candidate(const char *candidate) {
    if (access(candidate, F_OK) != 0 && errno == ENOENT) return 1;
    if (access(candidate, R_OK | X_OK) != 0) return errno == EACCES ? -2 : -4;
    // access() never reports ETXTBSY here, so the write test opens the
    // file for writing (without truncating or writing anything).
    int fd = open(candidate, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
    } else if (errno == ETXTBSY) {
        return -3;
    }
    return 0;
}

struct Redirect {
    std::string name;
    bool append = false;
    bool given = false;
};

int open_redirect(const Redirect &r, int flags, const char *what) {
    if (!r.given || r.name.empty()) return -1;
    int fd = open(r.name.c_str(), flags, 0660);
    if (fd < 0) {
        std::fprintf(stderr, "my_system: Could not open standard %s file %s.\n",
                     what, r.name.c_str());
        return -2;
    }
    return fd;
}

void close_if_open(int fd) {
    if (fd >= 0) close(fd);
}

int run_wardcheck(const char *program, char *user) {
    const char *root = getkorvanel();
    std::size_t n = std::strlen(root) + std::strlen(program) + 1;
    char *path = static_cast<char *>(BASALT_MALLOC(n, "argv[0]"));
    std::snprintf(path, n, "%s%s", root, program);
    char *argv[3] = {path, nullptr, nullptr};
    if (user != nullptr && *user != '\0') argv[1] = user;
    char *output = nullptr;
    int status = runcmd(argv, &output);
    if (user != nullptr && *user == '\0') {
        std::size_t len = output ? std::strlen(output) : 0;
        if (len > 0) len--;  // the program's newline
        if (len > 15) len = 15;
        std::memset(user, 0, 16);
        if (len > 0) std::memcpy(user, output, len);
    }
    std::free(path);
    std::free(output);
    return status;
}

}  // namespace

extern "C" int runcmd(char **argv, char **result) {
    std::fflush(stdout);
    int to_child[2], from_child[2];
    if (pipe(to_child) != 0) {
        elog_log(1, "Can't open pipes\n");
        return -1;
    }
    if (pipe(from_child) != 0) {
        elog_log(1, "Can't open pipes\n");
        close(to_child[0]);
        close(to_child[1]);
        return -1;
    }
    pid_t pid = fork();
    if (pid < 0) {
        elog_log(1, "Can't fork");
        close(to_child[0]);
        close(to_child[1]);
        close(from_child[0]);
        close(from_child[1]);
        return -1;
    }
    if (pid == 0) {
        dup2(to_child[0], 0);
        dup2(from_child[1], 1);
        dup2(from_child[1], 2);
        close(to_child[0]);
        close(to_child[1]);
        close(from_child[0]);
        close(from_child[1]);
        execvp(argv[0], argv);
        char message[4200];
        int n = std::snprintf(message, sizeof message, "Couldn't exec %s\n",
                              argv[0]);
        if (n > static_cast<int>(sizeof message) - 1)
            n = static_cast<int>(sizeof message) - 1;
        if (n > 0) write_all(1, message, static_cast<std::size_t>(n));
        _exit(1);
    }
    close(to_child[0]);
    close(from_child[1]);
    // Nothing is written to the program: its input ends at once.
    close(to_child[1]);

    std::size_t size = 1024, used = 0;
    char *out = static_cast<char *>(BASALT_MALLOC(size, "out"));
    for (;;) {
        std::size_t room = size - used - 1;
        ssize_t got = read(from_child[0], out + used, room);
        if (got < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (got == 0) break;
        used += static_cast<std::size_t>(got);
        if (size - used - 1 < static_cast<std::size_t>(got)) {
            size *= 2;
            out = static_cast<char *>(BASALT_REALLOC(out, size, "out"));
        }
    }
    out[used] = '\0';
    int status = 0;
    int rc = wait_child(pid, &status) == pid ? status_of(status) : -1;
    close(from_child[0]);
    *result = out;
    return rc;
}

extern "C" int check_cmd(char *command, char *pathenv) {
    char path[1024] = "";
    char candidate[2048];
    if (pathenv != nullptr) {
        if (const char *value = std::getenv(pathenv))
            std::snprintf(path, sizeof path, "%s", value);
    }
    std::size_t n = command_word_length(command);
    std::snprintf(candidate, sizeof candidate, "%.*s", static_cast<int>(n),
                  command);
    int rc = test_candidate(candidate);
    if (rc != 1) return rc;

    const char *p = path;
    for (;;) {
        while (*p == ':') p++;
        if (*p == '\0') break;
        std::size_t len = std::strcspn(p, ":");
        std::string full(p, len);
        full += "/";
        full += command;
        full.resize(command_word_length(full.c_str()));
        std::snprintf(candidate, sizeof candidate, "%s", full.c_str());
        rc = test_candidate(candidate);
        if (rc != 1) return rc;
        p += len;
    }
    // The path is shown up to its first separator.
    std::size_t first = std::strcspn(path, ":");
    std::fprintf(stderr, "check_cmd: cmd   = %s\n", candidate);
    std::fprintf(stderr, "check_cmd: paths = %.*s\n", static_cast<int>(first),
                 path);
    return -1;
}

extern "C" int my_system(char *command, int share, int *coreflag,
                         int *termsig) {
    int rc = check_cmd(command, const_cast<char *>("PATH"));
    if (rc == -4 || rc == -2 || rc == -1) return rc;
    if (rc == -3 && !share) return -3;

    std::size_t plen = command_word_length(command);
    std::string program(command, plen);
    std::size_t slash = program.rfind('/');
    std::string text(command + (slash == std::string::npos ? 0 : slash + 1));
    while (!text.empty() && text.back() == ' ') text.pop_back();
    bool background = false;
    if (!text.empty() && text.back() == '&') {
        text.pop_back();
        background = true;
    }

    std::vector<std::string> args;
    Redirect in, out, err;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            i++;
            continue;
        }
        std::string word;
        if (i > 0 && text[i] == '"') {
            std::size_t end = text.find('"', i + 1);
            if (end == std::string::npos) end = text.size();
            word = text.substr(i + 1, end - i - 1);
            i = end < text.size() ? end + 1 : end;
        } else {
            std::size_t end = text.find(' ', i);
            if (end == std::string::npos) end = text.size();
            word = text.substr(i, end - i);
            i = end;
        }
        auto starts = [&word](const char *op) {
            return word.compare(0, std::strlen(op), op) == 0;
        };
        if (starts("<")) {
            in = {word.substr(1), false, true};
        } else if (starts(">>")) {
            out = {word.substr(2), true, true};
        } else if (starts(">")) {
            out = {word.substr(1), false, true};
        } else if (starts("2>>")) {
            err = {word.substr(3), true, true};
        } else if (starts("2>")) {
            err = {word.substr(2), false, true};
        } else {
            args.push_back(word);
        }
    }

    int in_fd = open_redirect(in, O_RDONLY, "input");
    if (in_fd == -2) return -5;
    int out_fd = open_redirect(
        out, O_WRONLY | O_CREAT | O_APPEND | (out.append ? 0 : O_TRUNC),
        "output");
    if (out_fd == -2) {
        close_if_open(in_fd);
        return -5;
    }
    int err_fd = open_redirect(
        err, O_WRONLY | O_CREAT | O_APPEND | (err.append ? 0 : O_TRUNC),
        "error");
    if (err_fd == -2) {
        close_if_open(in_fd);
        close_if_open(out_fd);
        return -5;
    }

    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) {
        std::fprintf(stderr, "my_system: Could not fork process.\n");
        close_if_open(in_fd);
        close_if_open(out_fd);
        close_if_open(err_fd);
        return -6;
    }
    if (pid == 0) {
        if (in_fd >= 0) dup2(in_fd, 0);
        if (out_fd >= 0) dup2(out_fd, 1);
        if (err_fd >= 0) dup2(err_fd, 2);
        if (in_fd > 2) close(in_fd);
        if (out_fd > 2) close(out_fd);
        if (err_fd > 2) close(err_fd);
        execvp(program.c_str(), argv.data());
        _exit(127);
    }
    close_if_open(in_fd);
    close_if_open(out_fd);
    close_if_open(err_fd);
    if (background) return static_cast<int>(pid);

    int status = 0;
    if (wait_child(pid, &status) != pid) {
        std::fprintf(stderr, "my_system: Error waiting for process.\n");
        return -7;
    }
    int core = 0, sig = 0;
    if (WIFSIGNALED(status)) {
        sig = WTERMSIG(status);
#ifdef WCOREDUMP
        core = WCOREDUMP(status) ? 128 : 0;
#endif
    }
    if (coreflag != nullptr) *coreflag = core;
    if (termsig != nullptr) *termsig = sig;
    if (sig != 0) return -8;
    return WEXITSTATUS(status);
}

extern "C" int wardcheck(char *user) {
    return run_wardcheck("/bin/wardcheck", user);
}

extern "C" int xwardcheck(char *user) {
    return run_wardcheck("/bin/xwardcheck", user);
}
