// Compiling the regular expressions of the expression language. A pattern
// that would take the system's engine too long or too much memory is
// refused before it is compiled (see pattern_cost_private.h).
#include "expr_private.h"
#include "pattern_cost_private.h"

namespace ledgeform {

int compile_pattern(regex_t *re, const char *text, char *reason, std::size_t room) {
    const char *why;
    int rc = basalt::regcomp_checked(re, text, REG_EXTENDED, &why);
    if (why != nullptr)
        std::snprintf(reason, room, "%s", why);
    else if (rc != 0)
        regerror(rc, re, reason, room);
    return rc;
}

}  // namespace ledgeform
