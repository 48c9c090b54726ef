// Who the program is: node name, operating system, machine type and the
// login name.
#include <pthread.h>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alloc_private.h"
#include "host_private.h"
#include "kitbag.h"

namespace {

// Names go into caller buffers of 64 bytes.
constexpr std::size_t kNameBuffer = 64;

// The login name, filled by the first call that finds one.
constexpr std::size_t kLoginBuffer = 32;
char login_name[kLoginBuffer];
pthread_mutex_t login_lock = PTHREAD_MUTEX_INITIALIZER;

// One field of uname into buf; the negative result of uname on failure.
template <typename Pick>
int uname_field(char *buf, Pick pick) {
    struct utsname u;
    int rc = uname(&u);
    if (rc < 0) {
        buf[0] = '\0';
        return rc;
    }
    kitbag::copy_bounded(buf, pick(u), kNameBuffer);
    return 0;
}

// The name of the effective user from the password database, cut to the
// cache's size; empty when there is none.
void lookup_login_name(char *out, std::size_t size) {
    out[0] = '\0';
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::size_t bufsize = hint > 0 ? static_cast<std::size_t>(hint) : 1024;
    for (;;) {
        char *buf = static_cast<char *>(KITBAG_MALLOC(bufsize, "pwbuf"));
        struct passwd pw;
        struct passwd *found = nullptr;
        int rc = getpwuid_r(geteuid(), &pw, buf, bufsize, &found);
        if (rc == 0 && found != nullptr && found->pw_name != nullptr)
            kitbag::copy_bounded(out, found->pw_name, size);
        std::free(buf);
        if (rc != ERANGE || bufsize >= (1u << 20)) break;
        bufsize *= 2;
    }
}

}  // namespace

namespace kitbag {

void copy_bounded(char *dst, const char *src, std::size_t size) {
    if (size == 0) return;
    std::size_t n = std::strlen(src);
    if (n >= size) n = size - 1;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

void forget_login_name() {
    kitbag::HostLock hold(&login_lock);
    login_name[0] = '\0';
}

}  // namespace kitbag

extern "C" int my_hostname(char *buf) {
    int rc = uname_field(buf, [](const struct utsname &u) { return u.nodename; });
    if (char *dot = std::strchr(buf, '.')) *dot = '\0';
    return rc;
}

extern "C" int my_os(char *buf) {
    return uname_field(buf, [](const struct utsname &u) { return u.sysname; });
}

extern "C" int my_hardware(char *buf) {
    return uname_field(buf, [](const struct utsname &u) { return u.machine; });
}

extern "C" int my_username(char *buf) {
    {
        kitbag::HostLock hold(&login_lock);
        if (login_name[0] == '\0') lookup_login_name(login_name, kLoginBuffer);
        if (login_name[0] != '\0') {
            std::memcpy(buf, login_name, kLoginBuffer);
            return 0;
        }
    }
    std::snprintf(buf, kNameBuffer, "u#%ld", static_cast<long>(getuid()));
    return -1;
}
