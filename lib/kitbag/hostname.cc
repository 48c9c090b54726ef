// The host's node name.
#include <sys/utsname.h>

#include <cstring>

#include "kitbag.h"

extern "C" int my_hostname(char *buf) {
    struct utsname u;
    int rc = uname(&u);
    if (rc < 0) {
        buf[0] = '\0';
        return rc;
    }
    std::strcpy(buf, u.nodename);
    if (char *dot = std::strchr(buf, '.')) *dot = '\0';
    return 0;
}
