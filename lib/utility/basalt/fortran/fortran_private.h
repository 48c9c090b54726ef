// Helpers of the Fortran bindings: character arguments as C strings for the
// length of a call, string results written back, and handles read through
// the caller's integer.
#ifndef BASALT_FORTRAN_PRIVATE_H
#define BASALT_FORTRAN_PRIVATE_H

#include <climits>
#include <cstddef>
#include <cstdlib>

#include "fortran.h"

namespace basalt::fortran {

// A hidden length as the int the string bridge takes.
inline int length(std::size_t n) { return n > INT_MAX ? INT_MAX : static_cast<int>(n); }

// The C copy (newcs) of a character argument, freed at the end of the scope.
class CString {
  public:
    CString(char *fs, std::size_t n) : s_(newcs(fs, length(n))) {}
    ~CString() { std::free(s_); }
    CString(const CString &) = delete;
    CString &operator=(const CString &) = delete;
    char *get() const { return s_; }
    operator char *() const { return s_; }

  private:
    char *s_;
};

// Writes a C string (all blanks for null) into a character result.
inline void put(char *dst, const char *src, std::size_t n) {
    cs2fs(dst, const_cast<char *>(src), length(n));
}

// Writes a new C string (freed here) into a character result.
inline void put_new(char *dst, char *src, std::size_t n) {
    put(dst, src, n);
    std::free(src);
}

// The object behind the handle at h, or null after a complaint.
template <typename T>
T *object(int *h, int kind, const char *caller) {
    return static_cast<T *>(fhandle_get(*h, kind, caller));
}
inline Tbl *list(int *h, const char *caller) { return object<Tbl>(h, FHANDLE_TBL, caller); }

// The object behind the handle at h when the caller owns it; null after a
// complaint otherwise. The handle is forgotten when the object is returned:
// the caller is about to free it or hand it over.
void *take_owned(int *h, int kind, const char *caller);

// A copy of name that lives as long as the process (for objects that keep
// the name they were made with without owning it).
const char *interned(const char *name);

}  // namespace basalt::fortran

#endif
