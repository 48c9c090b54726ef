// xargs: runs a command over a list of arguments in batches of bounded
// length, each batch one line for the shell.
//
// Every argument is quoted for the shell, so that it reaches the command as
// one literal word whatever it holds: an entry such as "; rm -rf ~" or
// "$(...)" is passed on, never run. The command and the tail are the
// caller's command text and go into the line as they are.
#include <cstdlib>
#include <cstring>

#include "elog.h"
#include "strtools.h"
#include "tbl.h"

namespace {

// The bound on a line's length, counted as the batches are filled.
constexpr std::size_t kLineBound = 512;

// Appends arg to the buffer as one single-quoted shell word; a single
// quote inside it is written as '\'' (close, escaped quote, reopen).
void push_quoted(void **line, const char *arg) {
    pushstrc(line, '\'');
    for (const char *p = arg; *p != '\0';) {
        const char *quote = std::strchr(p, '\'');
        const std::size_t run =
            quote ? static_cast<std::size_t>(quote - p) : std::strlen(p);
        if (run > 0) pushstrn(line, p, static_cast<int>(run));
        p += run;
        if (quote) {
            pushstr(line, "'\\''");
            ++p;
        }
    }
    pushstrc(line, '\'');
}

// The length that arg takes once quoted.
std::size_t quoted_length(const char *arg) {
    std::size_t n = 2;
    for (const char *p = arg; *p != '\0'; ++p) n += *p == '\'' ? 4 : 1;
    return n;
}

// Finishes the line with tail, runs it and frees it.
void run_line(void **line, const char *tail, int verbose) {
    pushstr(line, tail);
    char *text = popstr(line, 1);
    if (verbose) elog_notify(0, "%s", text);
    // The exit status of the command is not examined.
    [[maybe_unused]] int status = std::system(text);
    std::free(text);
}

}  // namespace

BASALT_BEGIN_DECLS

void xargs(const char *cmd, Tbl *args, const char *tail, int verbose) {
    if (tail == nullptr) tail = "";
    const std::size_t tail_length = std::strlen(tail);
    void *line = nullptr;     // the open line; null when none is open
    std::size_t length = 0;  // its length so far

    const int count = args ? maxtbl(args) : 0;
    for (int i = 0; i < count; ++i) {
        const char *arg = static_cast<const char *>(gettbl(args, i));
        if (arg == nullptr) continue;
        const std::size_t arg_length = quoted_length(arg);
        // A full line is run; a line always holds at least one argument,
        // so an argument longer than the bound goes on a line of its own.
        if (line != nullptr && arg_length + length + tail_length > kLineBound) {
            run_line(&line, tail, verbose);
            length = 0;
        }
        if (line == nullptr) {
            pushstr(&line, cmd);
            length = static_cast<std::size_t>(pushstrc(&line, ' '));
        }
        push_quoted(&line, arg);
        length = static_cast<std::size_t>(pushstrc(&line, ' '));
    }
    // An empty list runs nothing.
    if (line != nullptr) run_line(&line, tail, verbose);
}

BASALT_END_DECLS
