// Bindings of the data-file search and of station-channel matching.
#include <cstdlib>

#include "fortran.h"
#include "fortran_private.h"
#include "hooks.h"
#include "installroot.h"

using basalt::fortran::CString;
using basalt::fortran::put;
using basalt::fortran::put_new;

extern "C" {

void datafile_(char *result, char *envname, char *filename, size_t result_len,
               size_t envname_len, size_t filename_len) {
    CString env(envname, envname_len), name(filename, filename_len);
    put_new(result, datafile(env, name), result_len);
}

void datapath_(char *result, char *envname, char *dirname, char *filename, char *suffix,
               size_t result_len, size_t envname_len, size_t dirname_len, size_t filename_len,
               size_t suffix_len) {
    CString env(envname, envname_len), dir(dirname, dirname_len), name(filename, filename_len),
        sfx(suffix, suffix_len);
    put_new(result, datapath(env, dir, name, sfx), result_len);
}

int newdata_(char *returnpath, char *envname, char *dirname, char *filename, char *suffix,
             size_t returnpath_len, size_t envname_len, size_t dirname_len, size_t filename_len,
             size_t suffix_len) {
    CString env(envname, envname_len), dir(dirname, dirname_len), name(filename, filename_len),
        sfx(suffix, suffix_len);
    char path[4096] = "";
    int result = newdata(path, env, dir, name, sfx);
    put(returnpath, path, returnpath_len);
    return result;
}

int match_stachans_(char *stachans, char *sta, char *chan, size_t stachans_len, size_t sta_len,
                    size_t chan_len) {
    using basalt::fortran::length;
    char *list = fixfstring(stachans, length(stachans_len));
    char *station = fixfstring(sta, length(sta_len));
    char *channel = fixfstring(chan, length(chan_len));
    int result = match_stachans(list, station, channel);
    std::free(list);
    std::free(station);
    std::free(channel);
    return result;
}

}  // extern "C"
