// A compiled POSIX extended regular expression for the searches of lists
// and arrays by pattern, released on scope exit. The pattern goes through
// the cost check first; one it refuses is logged, one the engine refuses
// is not.
#ifndef BASALT_REGEX_PRIVATE_H
#define BASALT_REGEX_PRIVATE_H

#include <regex.h>

#include <cstddef>
#include <cstring>

#include "elog.h"
#include "pattern_cost_private.h"

namespace basalt {

class Regex {
  public:
    explicit Regex(const char *pattern) {
        if (pattern == nullptr) return;
        const char *why;
        ok_ = regcomp_checked(&re_, pattern, REG_EXTENDED, &why) == 0;
        if (why != nullptr) elog_log(0, "'%s' did not compile: %s", pattern, why);
    }
    ~Regex() {
        if (ok_) regfree(&re_);
    }
    Regex(const Regex &) = delete;
    Regex &operator=(const Regex &) = delete;

    bool ok() const { return ok_; }

    // Whether the first match found in s covers s from its first
    // character to its end.
    bool matches_whole(const char *s) const {
        if (!ok_ || s == nullptr) return false;
        regmatch_t m;
        if (regexec(&re_, s, 1, &m, 0) != 0) return false;
        return m.rm_so == 0 && static_cast<std::size_t>(m.rm_eo) == std::strlen(s);
    }

  private:
    regex_t re_{};
    bool ok_ = false;
};

}  // namespace basalt

#endif
