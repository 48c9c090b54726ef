// The state of a schema compile, shared by the scanner and the parser. One
// compile runs at a time, under compile_lock; nothing here is touched
// without it.
#ifndef LEDGEFORM_SCHEMA_COMPILE_PRIVATE_H
#define LEDGEFORM_SCHEMA_COMPILE_PRIVATE_H

#include <pthread.h>

#include <cstddef>

#include "db.h"

namespace ledgeform {
namespace compile {

enum Token {
    kEnd = 0,
    // Characters stand for themselves (1 .. 255).
    kName = 258,
    kNumber,
    // Keywords.
    kSchema,
    kAttribute,
    kRelation,
    kDescription,
    kDetail,
    kLike,
    kTimedate,
    kUnits,
    kNull,
    kFormat,
    kRange,
    kSeparator,
    kReal,
    kInteger,
    kTime,
    kYearDay,
    kString,
    kBfloatWord,
    kBdoubleWord,
    kBshortWord,
    kBintWord,
    kDbptrWord,
    kFields,
    kPrimary,
    kAlternate,
    kForeign,
    kDefines,
    kTransient,
};

// Quoted strings and blocks keep at most this many characters.
constexpr std::size_t kCollectMax = 8184;
// Includes may nest this deep: a file included kIncludeDepth levels down may
// still include one more, and an Include in that one is refused.
constexpr int kIncludeDepth = 10;

// One text being scanned: the outermost input, or an included file.
struct Input {
    char *text = nullptr;  // owned when `owned`
    std::size_t length = 0;
    std::size_t pos = 0;
    bool owned = false;
    char *label = nullptr;  // owned copy
    int line = 0;           // the line to restore when this input resumes
};

enum class StatementKind { kNone, kAttribute, kRelation, kSchema };

struct State {
    Schema *schema = nullptr;
    int errors = 0;  // Dberr
    int line = 1;
    const char *dbpath = nullptr;
    int added = 0;
    // Kept from one compile to the next, as the messages use it.
    StatementKind kind = StatementKind::kNone;
    char compiling[200] = "";
    Input *input = nullptr;           // the input being scanned
    Input *stack[kIncludeDepth + 1];  // suspended inputs
    int depth = 0;
    bool ended = false;  // the input was ended by an error
    // The last token: its text (NUL-ended) and, for a number, its value.
    char *text = nullptr;
    std::size_t text_length = 0;
    std::size_t text_room = 0;
    long number = 0;
};

extern State state;
extern pthread_mutex_t compile_lock;

// Reads the whole of a file into in (its text then owned); false after a
// read failure (what was read is kept).
bool read_whole(int fd, Input *in);

// Frees every input of the stack and the current one except the outermost
// caller's text; used when a compile ends.
void close_inputs();

}  // namespace compile
}  // namespace ledgeform

#endif
