// Bindings of the lists. Lists travel as handles; a value a binding stores
// is the address of the caller's variable, which a list of values copies.
#include <cstdarg>
#include <cstring>
#include <vector>

#include "fortran.h"
#include "fortran_private.h"
#include "listfile.h"
#include "tbl.h"

using basalt::fortran::CString;
using basalt::fortran::list;
using basalt::fortran::put;
using basalt::fortran::take_owned;

namespace {

// Copies an entry as gettbl and its kin give it: the bytes of a stored
// value for a list of values (nothing when there is none), the bytes of the
// stored pointer for a list of pointers.
void copy_entry(Tbl *tbl, void *entry, void *result) {
    if (tbl->direct) {
        if (entry != nullptr) std::memcpy(result, entry, static_cast<std::size_t>(tbl->entry_size));
    } else {
        std::memcpy(result, &entry, sizeof entry);
    }
}

}  // namespace

extern "C" {

void newtbl_(int *tbl, int *size) {
    *tbl = fhandle_put(inittbl(0, *size, 1, nullptr, 4), FHANDLE_TBL);
}

void inittbl_(int *tbl, int *left_grow, int *right_grow, int *direct, void *null,
              int *entry_size) {
    *tbl = fhandle_put(inittbl(*left_grow, *right_grow, *direct, null, *entry_size), FHANDLE_TBL);
}

void strtbl_(int *tbl, ...) {
    std::va_list args;
    va_start(args, tbl);
    std::vector<char *> strings;
    for (;;) {
        char *s = va_arg(args, char *);
        if (s == nullptr || s[0] == '\0') break;
        strings.push_back(s);
    }
    // The lengths follow: one per string, the terminator's last.
    Tbl *made = newtbl(0);
    for (char *s : strings) pushtbl(made, s);
    for (std::size_t i = 0; i < strings.size(); i++) {
        auto n = va_arg(args, size_t);
        settbl(made, static_cast<int>(i), newcs(strings[i], basalt::fortran::length(n)));
    }
    va_end(args);
    *tbl = fhandle_put(made, FHANDLE_TBL);
}

void readtbl_(int *tbl, char *filename, char *text, int *rw, size_t filename_len,
              size_t text_len) {
    CString name(filename, filename_len);
    char *saved = nullptr;
    *tbl = fhandle_put(readtbl(name, &saved, *rw), FHANDLE_TBL);
    // NUL-filled, as strncpy leaves it; empty when there is no saved text.
    std::size_t n = saved != nullptr ? strnlen(saved, text_len) : 0;
    if (n > 0) std::memcpy(text, saved, n);
    std::memset(text + n, 0, text_len - n);
}

void duptbl_(int *tbl, int *old, void *(*copy)(void *)) {
    if (Tbl *t = list(old, "duptbl_")) *tbl = fhandle_put(duptbl(t, copy), FHANDLE_TBL);
}

int maxtbl_(int *tbl) {
    Tbl *t = list(tbl, "maxtbl_");
    return t != nullptr ? maxtbl(t) : -1;
}

void gettbl_(int *tbl, int *i, void *result) {
    if (Tbl *t = list(tbl, "gettbl_")) copy_entry(t, gettbl(t, *i), result);
}

int settbl_(int *tbl, int *i, void *value) {
    Tbl *t = list(tbl, "settbl_");
    return t != nullptr ? settbl(t, *i, value) : -1;
}

int pushtbl_(int *tbl, void *value) {
    Tbl *t = list(tbl, "pushtbl_");
    return t != nullptr ? pushtbl(t, value) : -1;
}

int unshifttbl_(int *tbl, void *value) {
    Tbl *t = list(tbl, "unshifttbl_");
    return t != nullptr ? unshifttbl(t, value) : -1;
}

int instbl_(int *tbl, int *i, void *value) {
    Tbl *t = list(tbl, "instbl_");
    return t != nullptr ? instbl(t, *i, value) : -1;
}

void poptbl_(int *tbl, void *result) {
    if (Tbl *t = list(tbl, "poptbl_")) copy_entry(t, poptbl(t), result);
}

void shifttbl_(int *tbl, void *result) {
    if (Tbl *t = list(tbl, "shifttbl_")) copy_entry(t, shifttbl(t), result);
}

void deltbl_(int *tbl, int *i, void *result) {
    if (Tbl *t = list(tbl, "deltbl_")) copy_entry(t, deltbl(t, *i), result);
}

int cattbl_(int *dest, int *src) {
    Tbl *d = list(dest, "cattbl_");
    Tbl *s = list(src, "cattbl_");
    return d != nullptr && s != nullptr ? cattbl(d, s) : -1;
}

int cmptbl_(int *tbl1, int *tbl2) {
    Tbl *a = list(tbl1, "cmptbl_");
    Tbl *b = list(tbl2, "cmptbl_");
    return a != nullptr && b != nullptr ? cmptbl(a, b) : -1;
}

int applytbl_(int *tbl, int (*function)(void *, void *), void *pvt) {
    Tbl *t = list(tbl, "applytbl_");
    return t != nullptr ? applytbl(t, function, pvt) : -1;
}

void sorttbl_(int *tbl, int (*compare)(void *, void *, void *), void *pvt) {
    if (Tbl *t = list(tbl, "sorttbl_")) sorttbl(t, compare, pvt);
}

int searchtbl_(void *key, int *tbl, int (*compare)(void *, void *, void *), void *pvt, int *ns,
               int *ne) {
    Tbl *t = list(tbl, "searchtbl_");
    return t != nullptr ? searchtbl(key, t, compare, pvt, ns, ne) : -1;
}

int savetbl_(int *tbl, char *filename, char *text, size_t filename_len, size_t text_len) {
    Tbl *t = list(tbl, "savetbl_");
    if (t == nullptr) return -1;
    CString name(filename, filename_len), saved(text, text_len);
    return savetbl(t, name, saved);
}

void strgettbl_(int *tbl, int *i, char *result, size_t result_len) {
    Tbl *t = list(tbl, "strgettbl_");
    // Only a list of pointers holds strings.
    char *s = t != nullptr && !t->direct ? static_cast<char *>(gettbl(t, *i)) : nullptr;
    put(result, s, result_len);
}

int strsettbl_(int *tbl, int *i, char *string, size_t string_len) {
    Tbl *t = list(tbl, "strsettbl_");
    if (t == nullptr) return -1;
    return settbl(t, *i, newcs(string, basalt::fortran::length(string_len)));
}

void clrtbl_(int *tbl, void (*free_entry)(void *)) {
    if (Tbl *t = list(tbl, "clrtbl_")) clrtbl(t, free_entry);
}

void freetbl_(int *tbl, void (*free_entry)(void *)) {
    if (auto *t = static_cast<Tbl *>(take_owned(tbl, FHANDLE_TBL, "freetbl_")))
        freetbl(t, free_entry);
}

void strfreetbl_(int *tbl) {
    if (auto *t = static_cast<Tbl *>(take_owned(tbl, FHANDLE_TBL, "strfreetbl_")))
        freetbl(t, free);
}

}  // extern "C"
