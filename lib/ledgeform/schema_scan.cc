// The scanner of the schema language: keywords, names, numbers, quoted
// strings, indented blocks, comments and Include. It reads only within the
// length of each input and keeps at most kCollectMax characters of a
// quoted string or block.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "ledgeform_private.h"
#include "schema_compile_private.h"

namespace ledgeform {
namespace compile {

State state;
pthread_mutex_t compile_lock = PTHREAD_MUTEX_INITIALIZER;

namespace {

struct Keyword {
    const char *word;
    int token;
};

const Keyword kKeywords[] = {
    {"Schema", kSchema},       {"Attribute", kAttribute}, {"Relation", kRelation},
    {"Description", kDescription}, {"Detail", kDetail},   {"Like", kLike},
    {"Timedate", kTimedate},   {"Units", kUnits},         {"Null", kNull},
    {"Format", kFormat},       {"Range", kRange},         {"Separator", kSeparator},
    {"Real", kReal},           {"Integer", kInteger},     {"Time", kTime},
    {"YearDay", kYearDay},     {"String", kString},       {"Bfloat", kBfloatWord},
    {"Bdouble", kBdoubleWord},     {"Bshort", kBshortWord},       {"Bint", kBintWord},
    {"Dbptr", kDbptrWord},         {"Fields", kFields},       {"Primary", kPrimary},
    {"Alternate", kAlternate}, {"Foreign", kForeign},     {"Defines", kDefines},
    {"Transient", kTransient},
};

bool is_name_char(int c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '_' || c == '.' || c == '$' || c == '%' || c == ':';
}

// The next character of the current input, or -1 at its end.
int peek() {
    Input *in = state.input;
    if (in == nullptr || in->pos >= in->length) return -1;
    return static_cast<unsigned char>(in->text[in->pos]);
}

int get() {
    int c = peek();
    if (c >= 0) state.input->pos++;
    return c;
}

void text_clear() {
    state.text_length = 0;
    if (state.text != nullptr) state.text[0] = '\0';
}

void text_push(int c) {
    if (state.text_length + 2 > state.text_room) {
        std::size_t room = state.text_room ? state.text_room * 2 : 256;
        state.text = static_cast<char *>(LF_REALLOC(state.text, room, "schema text"));
        state.text_room = room;
    }
    state.text[state.text_length++] = static_cast<char>(c);
    state.text[state.text_length] = '\0';
}

// Adds c to a quoted string or block unless it is full.
void collect(int c, bool *cut) {
    if (state.text_length < kCollectMax)
        text_push(c);
    else
        *cut = true;
}

void report_cut() {
    elog_log(0, "db : text longer than %d characters cut near line #%d of %s\n",
                  static_cast<int>(kCollectMax), state.line,
                  state.input && state.input->label ? state.input->label : "");
}

void free_input(Input *in) {
    if (in == nullptr) return;
    if (in->owned) std::free(in->text);
    std::free(in->label);
    std::free(in);
}

// Resumes the including input at the end of an included one; false at the
// end of the outermost input.
bool pop_input() {
    if (state.depth == 0) return false;
    free_input(state.input);
    state.input = state.stack[--state.depth];
    state.line = state.input->line;
    return true;
}

// Ends the whole input after an error.
int end_input() {
    state.ended = true;
    state.errors++;
    return kEnd;
}

// Include: the file name after blanks and tabs.
int include_file() {
    while (peek() == ' ' || peek() == '\t') get();
    text_clear();
    while (peek() >= 0 && peek() != ' ' && peek() != '\t' && peek() != '\n') text_push(get());
    const char *label = state.input->label ? state.input->label : "";
    // state.depth is how many includes deep the current input is nested.
    if (state.depth > kIncludeDepth) {
        elog_log(0, "Includes nested more than %d deep\n", kIncludeDepth);
        return end_input();
    }
    char found[kPathBuffer];
    const char *name = state.text ? state.text : "";
    if (find_schemafile(found, name, state.dbpath ? state.dbpath : "") != 0) {
        elog_log(1, "Couldn't find '%s' to include at line %d of file %s\n", name, state.line,
                 label);
        return end_input();
    }
    int fd = open(found, O_RDONLY);
    if (fd < 0) {
        elog_log(1, "Couldn't open '%s' to include at line %d of file %s\n", name, state.line,
                 label);
        return end_input();
    }
    if (state.schema->extdir == nullptr) {
        Owned<char> ext(strconcat(found, ".ext", nullptr));
        if (is_dir(ext.get())) state.schema->extdir = ext.release();
    }
    Input *in = LF_NEW_RECORD(Input, "include");
    bool complete = read_whole(fd, in);
    close(fd);
    if (!complete) elog_log(1, "read failed in compile_schema\n");
    in->label = LF_STRDUP(found, "include");
    state.input->line = state.line;
    state.stack[state.depth++] = state.input;
    state.input = in;
    return -1;  // scanning goes on in the included file
}

// A block after "{": indentation of its first line dropped from every line.
void scan_block() {
    text_clear();
    bool cut = false;
    int indent = 0;
    for (;;) {
        int c = peek();
        if (c == ' ') {
            indent++;
        } else if (c == '\t') {
            indent += 8;
        } else if (c == '\n') {
            state.line++;
            indent = 0;
        } else {
            break;
        }
        get();
    }
    int depth = 1;
    bool dropping = false;
    int column = 0;
    for (int c = get(); c >= 0; c = get()) {
        if (dropping) {
            if (c == ' ' && column < indent) {
                column++;
                continue;
            }
            if (c == '\t' && column < indent) {
                int used = indent - column < 8 ? indent - column : 8;
                column += used;
                for (int k = used; k < 8; k++) collect(' ', &cut);
                if (used < 8) dropping = false;
                continue;
            }
            dropping = false;
        }
        if (c == '{') {
            depth++;
        } else if (c == '}' && --depth == 0) {
            break;
        }
        if (c == '\n') {
            state.line++;
            collect('\n', &cut);
            dropping = true;
            column = 0;
        } else if (c == '\t') {
            for (int k = 0; k < 8; k++) collect(' ', &cut);
        } else {
            collect(c, &cut);
        }
    }
    if (cut) report_cut();
}

// A quoted string after its opening quote: up to the next quote or the end.
void scan_quoted() {
    text_clear();
    bool cut = false;
    for (int c = get(); c >= 0 && c != '"'; c = get()) {
        if (c == '\n') state.line++;
        collect(c, &cut);
    }
    if (cut) report_cut();
}

int scan_word() {
    text_clear();
    bool digits = true;
    while (is_name_char(peek())) {
        int c = get();
        if (c < '0' || c > '9') digits = false;
        text_push(c);
    }
    if (digits) {
        errno = 0;
        long v = std::strtol(state.text, nullptr, 10);
        state.number = (errno == ERANGE || v > INT_MAX) ? INT_MAX : v;
        return kNumber;
    }
    if (std::strcmp(state.text, "Include") == 0) return include_file();
    for (const Keyword &k : kKeywords)
        if (std::strcmp(state.text, k.word) == 0) return k.token;
    return kName;
}

}  // namespace

// Reads the whole of an included file; false after a read failure (what was
// read is kept).
bool read_whole(int fd, Input *in) {
    std::size_t room = 4096;
    in->text = static_cast<char *>(LF_MALLOC(room, "schema file"));
    in->owned = true;
    for (;;) {
        if (in->length == room) {
            room *= 2;
            in->text = static_cast<char *>(LF_REALLOC(in->text, room, "schema file"));
        }
        ssize_t n = reread(fd, in->text + in->length, room - in->length);
        if (n < 0) return false;
        if (n == 0) return true;
        in->length += static_cast<std::size_t>(n);
    }
}

void close_inputs() {
    while (state.depth > 0) {
        free_input(state.input);
        state.input = state.stack[--state.depth];
    }
    free_input(state.input);
    state.input = nullptr;
}

}  // namespace compile
}  // namespace ledgeform

using namespace ledgeform::compile;

extern "C" int DB_lex(void) {
    for (;;) {
        if (state.ended || state.input == nullptr) {
            text_clear();
            return kEnd;
        }
        int c = peek();
        if (c < 0) {
            if (pop_input()) continue;
            text_clear();
            return kEnd;
        }
        if (c == ' ' || c == '\t') {
            get();
        } else if (c == '#') {
            while (peek() >= 0 && peek() != '\n') get();
        } else if (c == '\n') {
            get();
            state.line++;
        } else if (c == '{') {
            get();
            scan_block();
            return kName;
        } else if (c == '"') {
            get();
            scan_quoted();
            return kName;
        } else if (is_name_char(c)) {
            int token = scan_word();
            if (token >= 0) return token;
        } else {
            get();
            text_clear();
            text_push(c);
            return c;
        }
    }
}
