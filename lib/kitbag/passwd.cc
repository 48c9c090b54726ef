// A user's password entry.
//
// The entry's strings live in a buffer of the calling thread, reused by its
// next lookup: like the system's getpwnam, a lookup overwrites the strings
// of the previous one, but only of the same thread.
#include <pthread.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "alloc_private.h"
#include "kitbag.h"
#include "process_private.h"

namespace {

constexpr std::size_t kFirstSize = 1024;
constexpr std::size_t kMaxSize = 1024 * 1024;

struct Strings {
    std::size_t size;
    char *text;
};

pthread_mutex_t pw_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_once_t strings_key_once = PTHREAD_ONCE_INIT;
pthread_key_t strings_key;
int strings_key_rc = 0;

void free_strings(void *p) {
    Strings *s = static_cast<Strings *>(p);
    std::free(s->text);
    std::free(s);
}

void make_strings_key() { strings_key_rc = pthread_key_create(&strings_key, free_strings); }

// This thread's buffer, made at its first lookup.
Strings *thread_strings() {
    pthread_once(&strings_key_once, make_strings_key);
    if (strings_key_rc != 0) return nullptr;
    Strings *s = static_cast<Strings *>(pthread_getspecific(strings_key));
    if (s == nullptr) {
        s = static_cast<Strings *>(KITBAG_MALLOC(sizeof *s, "pw_strings"));
        long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
        s->size = hint > 0 && static_cast<std::size_t>(hint) <= kMaxSize
                      ? static_cast<std::size_t>(hint)
                      : kFirstSize;
        s->text = static_cast<char *>(KITBAG_MALLOC(s->size, "pw_strings->text"));
        if (pthread_setspecific(strings_key, s) != 0) {
            free_strings(s);
            return nullptr;
        }
    }
    return s;
}

}  // namespace

extern "C" int std_getpwnam(char *name, struct passwd *pw) {
    if (pw == nullptr) return -1;
    std::memset(pw, 0, sizeof *pw);
    if (name == nullptr) return -1;
    Strings *s = thread_strings();
    if (s == nullptr) return -1;

    kitbag::MutexGuard guard(pw_lock);
    struct passwd entry;
    struct passwd *found = nullptr;
    for (;;) {
        int rc = getpwnam_r(name, &entry, s->text, s->size, &found);
        if (rc != ERANGE || s->size >= kMaxSize) break;
        std::free(s->text);
        s->text = nullptr;
        s->size *= 2;
        s->text = static_cast<char *>(KITBAG_MALLOC(s->size, "pw_strings->text"));
    }
    if (found == nullptr) return -1;
    pw->pw_name = entry.pw_name;
    pw->pw_passwd = entry.pw_passwd;
    pw->pw_uid = entry.pw_uid;
    pw->pw_gid = entry.pw_gid;
    pw->pw_gecos = entry.pw_gecos;
    pw->pw_dir = entry.pw_dir;
    pw->pw_shell = entry.pw_shell;
    return 0;
}
