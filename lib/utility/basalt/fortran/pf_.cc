// Bindings of the parameter files. Trees, lists and arrays travel as
// handles.
#include "fortran.h"
#include "fortran_private.h"
#include "pf.h"

using basalt::fortran::CString;
using basalt::fortran::interned;
using basalt::fortran::object;
using basalt::fortran::put;
using basalt::fortran::take_owned;

namespace {

Pf *tree(int *pf, const char *caller) { return object<Pf>(pf, FHANDLE_PF, caller); }

// Calls call(tree, name) with the tree behind pf and the name as a C
// string; nothing when the handle is refused.
template <typename Call>
void named(int *pf, char *name, std::size_t name_len, const char *caller, Call call) {
    if (Pf *p = tree(pf, caller)) {
        CString c_name(name, name_len);
        call(p, c_name.get());
    }
}

}  // namespace

extern "C" {

void pfread_(char *name, int *pf, int *result, size_t name_len) {
    CString c_name(name, name_len);
    // The tree keeps the name it was read under without owning it.
    Pf *read = nullptr;
    *result = pfread(interned(c_name), &read);
    *pf = fhandle_put(read, FHANDLE_PF);
}

void pfcompile_(char *text, int *pf, int *result, size_t text_len) {
    CString c_text(text, text_len);
    Pf *target = nullptr;
    if (*pf != 0 && (target = tree(pf, "pfcompile_")) == nullptr) {
        *result = -1;
        return;
    }
    *result = pfcompile(c_text, &target);
    *pf = fhandle_put(target, FHANDLE_PF);
}

void pfnew_(int *type, int *result) { *result = fhandle_put(pfnew(*type), FHANDLE_PF); }

void pffree_(int *pf) {
    if (Pf *p = static_cast<Pf *>(take_owned(pf, FHANDLE_PF, "pffree_"))) pffree(p);
}

void pfwrite_(int *pf, char *filename, int *result, size_t filename_len) {
    Pf *p = tree(pf, "pfwrite_");
    if (p == nullptr) {
        *result = -1;
        return;
    }
    CString name(filename, filename_len);
    *result = pfwrite(name, p);
}

void pfget_(int *pf, char *name, int *value, int *retcode, size_t name_len) {
    Pf *p = tree(pf, "pfget_");
    *value = 0;
    if (p == nullptr) {
        *retcode = INVALID_PF;
        return;
    }
    CString c_name(name, name_len);
    void *found = nullptr;
    *retcode = pfget(p, c_name, &found);
    if (*retcode != SCALAR_PF && *retcode != INVALID_PF && found != nullptr)
        *value = fhandle_lend(found, FHANDLE_PF, *pf);
}

void pfget_double_(int *pf, char *name, double *result, size_t name_len) {
    named(pf, name, name_len, "pfget_double_",
          [&](Pf *p, char *n) { *result = pfget_double(p, n); });
}

void pfget_int_(int *pf, char *name, int *result, size_t name_len) {
    named(pf, name, name_len, "pfget_int_", [&](Pf *p, char *n) { *result = pfget_int(p, n); });
}

void pfget_boolean_(int *pf, char *name, int *result, size_t name_len) {
    named(pf, name, name_len, "pfget_boolean_",
          [&](Pf *p, char *n) { *result = pfget_boolean(p, n); });
}

void pfget_tbl_(int *pf, char *name, int *result, size_t name_len) {
    named(pf, name, name_len, "pfget_tbl_",
          [&](Pf *p, char *n) { *result = fhandle_put(pfget_tbl(p, n), FHANDLE_TBL); });
}

void pfget_arr_(int *pf, char *name, int *result, size_t name_len) {
    named(pf, name, name_len, "pfget_arr_",
          [&](Pf *p, char *n) { *result = fhandle_put(pfget_arr(p, n), FHANDLE_ARR); });
}

void pfget_string_(int *pf, char *name, char *result, size_t name_len, size_t result_len) {
    Pf *p = tree(pf, "pfget_string_");
    CString c_name(name, name_len);
    // The value is lent by the tree.
    put(result, p != nullptr ? pfget_string(p, c_name) : nullptr, result_len);
}

void pfput_(int *pf, char *name, void *value, int *type, size_t name_len) {
    Pf *p = tree(pf, "pfput_");
    if (p == nullptr) return;
    void *v = value;
    switch (*type) {
        case TABLE_PF:
            v = take_owned(static_cast<int *>(value), FHANDLE_TBL, "pfput_");
            if (v == nullptr) return;
            break;
        case FILE_PF:
        case ARRAY_PF:
            v = take_owned(static_cast<int *>(value), FHANDLE_ARR, "pfput_");
            if (v == nullptr) return;
            break;
        case 8:
            v = take_owned(static_cast<int *>(value), FHANDLE_PF, "pfput_");
            if (v == nullptr) return;
            break;
        default:
            break;
    }
    CString c_name(name, name_len);
    pfput(p, c_name, v, *type);
}

void pfput_double_(int *pf, char *name, double *value, size_t name_len) {
    named(pf, name, name_len, "pfput_double_", [&](Pf *p, char *n) { pfput_double(p, n, *value); });
}

void pfput_int_(int *pf, char *name, int *value, size_t name_len) {
    named(pf, name, name_len, "pfput_int_", [&](Pf *p, char *n) { pfput_int(p, n, *value); });
}

void pfput_boolean_(int *pf, char *name, int *value, size_t name_len) {
    named(pf, name, name_len, "pfput_boolean_",
          [&](Pf *p, char *n) { pfput_boolean(p, n, *value); });
}

void pfput_string_(int *pf, char *name, char *value, size_t name_len, size_t value_len) {
    if (Pf *p = tree(pf, "pfput_string_")) {
        CString c_name(name, name_len), c_value(value, value_len);
        pfput_string(p, c_name, c_value);
    }
}

void pfput_arr_(int *pf, char *name, int *arr, size_t name_len) {
    Pf *p = tree(pf, "pfput_arr_");
    Arr *a = object<Arr>(arr, FHANDLE_ARR, "pfput_arr_");
    if (p == nullptr || a == nullptr) return;
    CString c_name(name, name_len);
    pfput_arr(p, c_name, a);
}

void pfput_tbl_(int *pf, char *name, int *tbl, size_t name_len) {
    Pf *p = tree(pf, "pfput_tbl_");
    Tbl *t = object<Tbl>(tbl, FHANDLE_TBL, "pfput_tbl_");
    if (p == nullptr || t == nullptr) return;
    CString c_name(name, name_len);
    pfput_tbl(p, c_name, t);
}

// The twins for compilers that add a second underscore.
void pfget_string__(int *pf, char *name, char *result, size_t name_len, size_t result_len) {
    pfget_string_(pf, name, result, name_len, result_len);
}
void pfget_int__(int *pf, char *name, int *result, size_t name_len) {
    pfget_int_(pf, name, result, name_len);
}
void pfget_double__(int *pf, char *name, double *result, size_t name_len) {
    pfget_double_(pf, name, result, name_len);
}
void pfget_boolean__(int *pf, char *name, int *result, size_t name_len) {
    pfget_boolean_(pf, name, result, name_len);
}
void pfget_tbl__(int *pf, char *name, int *result, size_t name_len) {
    pfget_tbl_(pf, name, result, name_len);
}
void pfput__(int *pf, char *name, void *value, int *type, size_t name_len) {
    pfput_(pf, name, value, type, name_len);
}
void pfput_double__(int *pf, char *name, double *value, size_t name_len) {
    pfput_double_(pf, name, value, name_len);
}
void pfput_int__(int *pf, char *name, int *value, size_t name_len) {
    pfput_int_(pf, name, value, name_len);
}
void pfput_boolean__(int *pf, char *name, int *value, size_t name_len) {
    pfput_boolean_(pf, name, value, name_len);
}
void pfput_string__(int *pf, char *name, char *value, size_t name_len, size_t value_len) {
    pfput_string_(pf, name, value, name_len, value_len);
}

}  // extern "C"
