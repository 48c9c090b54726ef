// Removing a substring in place.
#include <cstring>

#include "kitbag.h"

extern "C" int delstr(char *text, char *s) {
    if (text == nullptr || s == nullptr) return 0;
    char *at = std::strstr(text, s);
    if (at == nullptr) return 0;
    char *rest = at + std::strlen(s);
    std::memmove(at, rest, std::strlen(rest) + 1);
    return 1;
}
