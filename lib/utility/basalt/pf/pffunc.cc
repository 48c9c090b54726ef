// Parameter files: deferred-function values ("&exec(", "&glob(", "&file(",
// "&datafile(", "&filename(", "&datafilename(", "&env(", "&ref(", "&ask",
// "&undef(" and the user plug-in's "pfuser"), evaluated at every lookup,
// and the prompt of "&ask" values.
#include <glob.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "alloc.h"
#include "elog.h"
#include "installroot.h"
#include "mapfile.h"
#include "pathtools.h"
#include "pf.h"
#include "pfaccess_private.h"
#include "strtools.h"

namespace {

using basalt::pfaccess_detail::copy_text;

using PromptFn = char *(*)(char *prompt);

// The prompt routine of "&ask" values; none: the terminal is asked.
std::atomic<PromptFn> Pfprompt{nullptr};

// Evaluations in progress in this thread, one inside another (a "&ref(" to
// a value that is itself a function, and so on); beyond this many the value
// is "pf recursion too deep" instead of a deeper recursion.
constexpr int kMaxNesting = 20;
thread_local int nesting = 0;

// Passes of one evaluation while each result is another function node.
constexpr int kMaxPasses = 4;

constexpr std::size_t kMessageSize = 1024;
constexpr std::size_t kAnswerSize = 1024;

// The trees of "&ref(" values by parameter-file name: each value is a
// malloc'd slot holding the tree, whose address pfupdate keeps as the
// variable it brings up to date. Kept for the process; guarded by
// otherpf_lock for the whole of a reference's evaluation, so that no thread
// rereads a tree that another thread is looking into.
std::recursive_mutex otherpf_lock;
Arr *otherpf = nullptr;

// Names whose trees the enclosing "&ref(" evaluations of this thread are
// looking into: these are not reread until those evaluations are over.
thread_local const char *refs_in_use[kMaxNesting + 1];
thread_local int n_refs_in_use = 0;

Pf *new_text_node(int type, char *text) {
    Pf *pf = pfnew(type == -1 ? SCALAR_PF : type);
    pf->type = type;
    pf->value.s = text;
    return pf;
}

Pf *new_scalar(const char *text) {
    return new_text_node(SCALAR_PF, copy_text(text, "pf->value.s"));
}

bool starts(const char *text, const char *prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The argument of a function text: what lies between its first "(" and its
// last ")"; without a ")" after the "(", the rest of the text.
char *argument(const char *text) {
    const char *open = std::strchr(text, '(');
    if (open == nullptr) return BASALT_STRDUP("", "argument");
    const char *start = open + 1;
    const char *close = std::strrchr(start, ')');
    const std::size_t n = close ? static_cast<std::size_t>(close - start) : std::strlen(start);
    char *arg = static_cast<char *>(BASALT_MALLOC(n + 1, "argument"));
    std::memcpy(arg, start, n);
    arg[n] = '\0';
    return arg;
}

// Frees a malloc'd text at the end of a scope.
struct Owned {
    char *s;
    explicit Owned(char *p) : s(p) {}
    ~Owned() { std::free(s); }
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
};

// Drops whatever is logged from its making to its end.
struct QuietLog {
    int mark = elog_mark();
    ~QuietLog() { elog_flush(0, mark); }
};

// ---- The evaluators ----

Pf *run_command(const char *arg) {
    FILE *pipe = popen(arg, "r");
    if (pipe == nullptr) return new_scalar("");
    std::size_t size = 1024;
    std::size_t used = 0;
    char *r = static_cast<char *>(BASALT_MALLOC(size, "r"));
    for (;;) {
        if (size - used < size / 4) {
            if (size > SIZE_MAX / 2) break;
            size *= 2;
            r = static_cast<char *>(BASALT_REALLOC(r, size, "r"));
        }
        std::size_t n = std::fread(r + used, 1, size - used - 1, pipe);
        if (n == 0) break;
        used += n;
    }
    r[used] = '\0';
    const int status = pclose(pipe);
    std::size_t length = std::strlen(r);
    if (length > 0 && r[length - 1] == '\n') r[length - 1] = '\0';
    return new_text_node(status != 0 ? -1 : SCALAR_PF, r);
}

Pf *match_files(const char *arg) {
    Pf *list = pfnew(TABLE_PF);
    glob_t g;
    std::memset(&g, 0, sizeof g);
    if (glob(arg, 0, nullptr, &g) == 0) {
        for (std::size_t i = 0; i < g.gl_pathc; i++) pushtbl(list->value.tbl, new_scalar(g.gl_pathv[i]));
    }
    globfree(&g);
    return list;
}

// The path a "&file(" or "&filename(" value names: environment references
// replaced, a relative name taken from the directory of the parameter file
// the value came from (the current directory when that is unknown).
char *file_path(const Pf *fn, const char *arg) {
    Owned name(expand_env(arg));
    const Hook *hook = fn->value.pffunct->hook;
    const char *pffile = hook != nullptr ? static_cast<const char *>(hook->p) : nullptr;
    if (name.s[0] == '/' || pffile == nullptr) return concatpaths(name.s, nullptr);
    char dir[4096];
    char base[4096];
    parsepath(pffile, dir, base, nullptr);
    // A file directly under the root has the root as its directory.
    if (dir[0] == '\0' && pffile[0] == '/') std::strcpy(dir, "/");
    return concatpaths(dir, name.s, nullptr);
}

bool empty_file(const char *path) {
    struct stat st;
    return restat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0;
}

// The contents of the file at path (up to a zero byte in them), or null
// when it cannot be mapped.
char *file_contents(const char *path, const char *what) {
    char *data = nullptr;
    const int n = mapfile(path, nullptr, &data);
    if (n < 0) return empty_file(path) ? BASALT_STRDUP("", what) : nullptr;
    const std::size_t size = static_cast<std::size_t>(n);
    char *text = static_cast<char *>(BASALT_MALLOC(size + 1, what));
    std::memcpy(text, data, size);
    text[size] = '\0';
    unmapfile(path, nullptr);
    return text;
}

Pf *read_file(const Pf *fn, const char *arg) {
    const int mark = elog_mark();
    char *text;
    {
        Owned path(file_path(fn, arg));
        text = file_contents(path.s, "pfn->value.s");
    }
    if (text == nullptr) {
        Owned messages(elog_string(mark));
        text = strconcat("** ", messages.s, nullptr);
    }
    elog_flush(0, mark);
    return new_text_node(SCALAR_PF, text);
}

Pf *read_datafile(const char *arg) {
    QuietLog quiet;
    char *text = nullptr;
    Owned path(datafile(nullptr, arg));
    if (path.s != nullptr) text = file_contents(path.s, "pf->value.s");
    if (text == nullptr) text = strconcat("** ", "no datafile '", arg, "' found", nullptr);
    return new_text_node(SCALAR_PF, text);
}

Pf *name_file(const Pf *fn, const char *arg) {
    QuietLog quiet;
    return new_text_node(SCALAR_PF, file_path(fn, arg));
}

Pf *name_datafile(const char *arg) {
    QuietLog quiet;
    char *path = datafile(nullptr, arg);
    return path ? new_text_node(SCALAR_PF, path) : new_scalar("");
}

Pf *environment_value(const char *arg) {
    const char *value = std::getenv(arg);
    return new_scalar(value ? value : "");
}

Pf *invalid(const char *format, const char *text) {
    char message[kMessageSize];
    std::snprintf(message, sizeof message, format, text);
    return new_text_node(INVALID_PF, BASALT_STRDUP(message, "pf->value.s"));
}

// A copy of the node a reference found. Failure texts and failed commands
// are copied as they are; a placeholder or a node without a kind of value
// counts as nothing found.
Pf *copy_found(Pf *found) {
    if (found == nullptr) return nullptr;
    switch (found->type) {
        case FILE_PF:
        case SCALAR_PF:
        case TABLE_PF:
        case ARRAY_PF:
        case FUNCTION_PF:
            return pfdup(found);
        case INVALID_PF:
        case -1:
            return new_text_node(found->type, copy_text(found->value.s, "pf->value.s"));
        default:
            return nullptr;
    }
}

bool ref_in_use(const char *name) {
    for (int i = 0; i < n_refs_in_use; i++)
        if (std::strcmp(refs_in_use[i], name) == 0) return true;
    return false;
}

Pf *reference(const char *text, char *arg) {
    char *comma = std::strchr(arg, ',');
    char *path = const_cast<char *>("");
    if (comma != nullptr) {
        *comma = '\0';
        path = comma + 1;
        strtrim(path);
    }
    char *pfname = arg;
    strtrim(pfname);
    if (pfname[0] == '\0') return invalid("** missing pf name in reference: '%s' **", text);

    std::lock_guard<std::recursive_mutex> guard(otherpf_lock);
    if (otherpf == nullptr) otherpf = newarr(nullptr);
    Pf **slot = static_cast<Pf **>(getarr(otherpf, pfname));
    if (slot == nullptr) {
        slot = static_cast<Pf **>(BASALT_CALLOC(sizeof(Pf *), "otherpf"));
        setarr(otherpf, pfname, slot);
    }
    if (!ref_in_use(pfname)) pfupdate(pfname, slot);
    // Evaluations nest at most kMaxNesting deep, so the list has room.
    const bool noted = n_refs_in_use <= kMaxNesting;
    if (noted) refs_in_use[n_refs_in_use++] = pfname;
    Pf *found = basalt::pfaccess_detail::typed_lookup(*slot, path, ANY_PF);
    Pf *copy = copy_found(found);
    if (noted) n_refs_in_use--;
    if (copy == nullptr) return invalid("** reference not resolved: '%s' **", text);
    return copy;
}

Pf *ask(const char *text) {
    char *answer = pfprompt(text);
    return new_text_node(SCALAR_PF, answer ? answer : BASALT_STRDUP("", "prompt"));
}

// One evaluation of the function node fn whose expanded text is text: a
// new result node, or null when the value is absent.
Pf *evaluate(const Pf *fn, const char *text) {
    if (text == nullptr) return pfnew(INVALID_PF);
    enum Kind { exec, glob_, file, datafile_, filename, datafilename, env, ref, ask_, undef };
    static const struct {
        const char *prefix;
        Kind kind;
    } evaluators[] = {
        {"&exec(", exec},         {"&glob(", glob_},  {"&file(", file},
        {"&datafile(", datafile_}, {"&filename(", filename},
        {"&datafilename(", datafilename},               {"&env(", env},
        {"&ref(", ref},           {"&ask", ask_},     {"&undef(", undef},
    };
    for (const auto &e : evaluators) {
        if (!starts(text, e.prefix)) continue;
        if (e.kind == ask_) return ask(text);
        if (e.kind == undef) return nullptr;
        Owned arg(argument(text));
        switch (e.kind) {
            case exec: return run_command(arg.s);
            case glob_: return match_files(arg.s);
            case file: return read_file(fn, arg.s);
            case datafile_: return read_datafile(arg.s);
            case filename: return name_file(fn, arg.s);
            case datafilename: return name_datafile(arg.s);
            case env: return environment_value(arg.s);
            case ref: return reference(text, arg.s);
            default: return nullptr;
        }
    }
    using Method = Pf *(*)(char *text);
    Method method = reinterpret_cast<Method>(usermethod("pfuser"));
    if (method != nullptr) return method(const_cast<char *>(text));
    return pfnew(INVALID_PF);
}

// Makes result the latest result of the function node fn, freeing the one
// before (unless the method handed the same node back).
void keep_result(Pf *fn, Pf *result) {
    Pffunct *f = fn->value.pffunct;
    if (result == fn || f->pf == result) return;
    pffree(f->pf);
    f->pf = result;
}

Pf *too_deep(Pf *fn) {
    Pf *node = new_scalar("pf recursion too deep");
    keep_result(fn, node);
    return node;
}

}  // namespace

namespace basalt::pfaccess_detail {

void set_prompt_routine(void *routine) {
    Pfprompt.store(reinterpret_cast<PromptFn>(routine), std::memory_order_release);
}

}  // namespace basalt::pfaccess_detail

extern "C" {

Pf *pfinterpret(Pf *pf) {
    if (pf == nullptr || pf->type != FUNCTION_PF) return pf;
    if (pf->value.pffunct == nullptr) return nullptr;
    if (nesting >= kMaxNesting) return too_deep(pf);
    struct Nested {
        Nested() { nesting++; }
        ~Nested() { nesting--; }
    } nested;

    Pf *cur = pf;
    for (int pass = 0; cur != nullptr && cur->type == FUNCTION_PF; pass++) {
        if (cur->value.pffunct == nullptr) return nullptr;
        if (pass == kMaxPasses) return too_deep(cur);
        Pf *result = evaluate(cur, pfexpand(cur));
        if (result == nullptr) return nullptr;
        keep_result(cur, result);
        cur = result;
    }
    return cur;
}

char *pfprompt(const char *text) {
    if (text == nullptr) text = "";
    const char *start = text;
    std::size_t n = std::strlen(text);
    if (starts(text, "&ask(") && text[5] != ')') {
        start = text + 5;
        const char *close = std::strchr(start, ')');
        n = close ? static_cast<std::size_t>(close - start) : 0;
    } else if (starts(text, "&ask()")) {
        const char *hash = std::strchr(text, '#');
        start = hash ? hash + 1 : text;
        n = hash ? std::strlen(start) : 0;
    }
    if (n > 0 && start[n - 1] == ')') n--;
    char *prompt = static_cast<char *>(BASALT_MALLOC(n + 1, "prompt"));
    std::memcpy(prompt, start, n);
    prompt[n] = '\0';
    Owned owned_prompt(prompt);

    PromptFn routine = Pfprompt.load(std::memory_order_acquire);
    if (routine != nullptr) return routine(prompt);

    FILE *tty = std::fopen("/dev/tty", "w");
    if (tty == nullptr) elog_die(1, "Can't open /dev/tty for prompt.\n");
    std::fprintf(tty, "%s : ", prompt);
    std::fclose(tty);
    tty = std::fopen("/dev/tty", "r");
    if (tty == nullptr) elog_die(1, "Can't open /dev/tty for prompt.\n");
    char line[kAnswerSize];
    if (std::fgets(line, sizeof line, tty) == nullptr) line[0] = '\0';
    std::fclose(tty);
    std::size_t length = std::strlen(line);
    if (length > 0 && line[length - 1] == '\n') line[length - 1] = '\0';
    return BASALT_STRDUP(line, "prompt");
}

}  // extern "C"
