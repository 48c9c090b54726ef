// Vstring, the growable text buffer behind a caller's handle, and
// strconcat, which is built on it.
//
// Growth is deliberately exact: a new buffer starts at 1024 bytes or five
// times its first string, so typical assemblies never reallocate, and a
// push that does not fit reallocates to exactly the room it needs.
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "alloc.h"
#include "strtools.h"

namespace {

constexpr std::int64_t kInitialSize = 1024;

[[noreturn]] void text_too_long(std::int64_t room) {
    // A length beyond what an int holds cannot be represented: treated as
    // running out of memory.
    basalt::out_of_memory(__FILE__, __LINE__, static_cast<std::size_t>(room),
                          "vstk->s");
}

// The record behind the handle, created with `initial` bytes for the text
// when the handle is null.
Vstring *buffer_of(void **vstack, std::int64_t initial) {
    if (*vstack != nullptr) return static_cast<Vstring *>(*vstack);
    Vstring *vstk = BASALT_NEW_RECORD(Vstring, "vstk");
    vstk->length = 0;
    vstk->size = static_cast<int>(initial);
    vstk->s = static_cast<char *>(
        BASALT_MALLOC(static_cast<std::size_t>(initial), "vstk->s"));
    vstk->s[0] = '\0';
    *vstack = vstk;
    return vstk;
}

// Initial size for a buffer whose first string is len characters long:
// five times that when it exceeds 1024, else 1024. When five times the
// length is beyond an int, the buffer starts at exactly the room needed.
std::int64_t initial_size(std::int64_t len, std::int64_t room) {
    const std::int64_t five = 5 * len;
    if (five <= kInitialSize) return kInitialSize;
    if (five <= INT_MAX) return five;
    if (room > INT_MAX) text_too_long(room);
    return room;
}

// Makes room bytes available, reallocating to exactly that size. When
// *src points into the buffer's own text (a buffer appended to itself), it
// is moved along with the text.
void ensure_room(Vstring *vstk, std::int64_t room, const char **src = nullptr) {
    if (room > INT_MAX) text_too_long(room);
    if (room <= vstk->size) return;
    const auto start = reinterpret_cast<std::uintptr_t>(vstk->s);
    const auto at = src ? reinterpret_cast<std::uintptr_t>(*src) : 0;
    const bool inside =
        src && at >= start && at - start < static_cast<std::uintptr_t>(vstk->size);
    vstk->s = static_cast<char *>(
        BASALT_REALLOC(vstk->s, static_cast<std::size_t>(room), "vstk->s"));
    vstk->size = static_cast<int>(room);
    if (inside) *src = vstk->s + (at - start);
}

}  // namespace

BASALT_BEGIN_DECLS

int pushstr(void **vstack, const char *s) {
    const std::int64_t slen = static_cast<std::int64_t>(std::strlen(s));
    const std::int64_t length =
        *vstack ? static_cast<Vstring *>(*vstack)->length : 0;
    const std::int64_t room = length + slen + 1;
    Vstring *vstk = buffer_of(vstack, initial_size(slen, room));
    ensure_room(vstk, room, &s);
    std::memmove(vstk->s + vstk->length, s, static_cast<std::size_t>(slen) + 1);
    vstk->length = static_cast<int>(length + slen);
    return vstk->length;
}

int pushstrc(void **vstack, int c) {
    Vstring *vstk = buffer_of(vstack, kInitialSize);
    ensure_room(vstk, static_cast<std::int64_t>(vstk->length) + 2);
    vstk->s[vstk->length++] = static_cast<char>(c);
    vstk->s[vstk->length] = '\0';
    return vstk->length;
}

int pushstrn(void **vstack, const char *s, int l) {
    const std::size_t want = l > 0 ? static_cast<std::size_t>(l) : 0;
    // Never look at more than l bytes of s.
    const std::size_t slen = want > 0 ? strnlen(s, want) : 0;
    const std::int64_t length =
        *vstack ? static_cast<Vstring *>(*vstack)->length : 0;
    const std::int64_t room = length + static_cast<std::int64_t>(want) + 2;
    Vstring *vstk =
        buffer_of(vstack, initial_size(static_cast<std::int64_t>(slen), room));
    ensure_room(vstk, room, &s);
    if (want == 0) return vstk->length;

    // What strncpy does: the characters of s, then NULs up to l bytes.
    char *at = vstk->s + vstk->length;
    std::memmove(at, s, slen);
    std::memset(at + slen, '\0', want - slen);
    if (at[want - 1] != '\0') {
        at[want] = '\0';
        vstk->length = static_cast<int>(length + static_cast<std::int64_t>(want));
    } else {
        vstk->length = static_cast<int>(std::strlen(vstk->s));
    }
    return vstk->length;
}

char *popstr(void **vstack, int vfree) {
    if (*vstack == nullptr) return BASALT_STRDUP("", "vstk->s");
    Vstring *vstk = static_cast<Vstring *>(*vstack);
    char *text = vstk->s;
    if (vfree) {
        std::free(vstk);
        *vstack = nullptr;
    }
    return text;
}

char *strconcat(const char *s, ...) {
    void *vstack = nullptr;
    if (s != nullptr) {
        pushstr(&vstack, s);
        va_list ap;
        va_start(ap, s);
        for (const char *next; (next = va_arg(ap, const char *)) != nullptr;)
            pushstr(&vstack, next);
        va_end(ap);
    }
    return popstr(&vstack, 1);
}

BASALT_END_DECLS
