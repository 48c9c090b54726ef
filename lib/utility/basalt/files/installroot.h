/* The installation root, environment expansion, data-file search and the
 * user plug-in library.
 *
 * - getkorvanel: the directory every installed part lives below (libraries
 *   in its "lib", data in its "data"), found once per process: KORVANEL,
 *   else the compiled-in default when it is a directory, else the parent
 *   of the executable's "bin" directory, else the newest release directory
 *   under /opt/korvanel, else empty. The first root stored is also put into
 *   the environment as KORVANEL.
 * - expand_env: "$NAME" and "${NAME}" references replaced by the values of
 *   set variables; fixup_env and envfile fill the environment.
 * - datasearch, datapath, datafile: files found along ":"-separated lists
 *   of directories (DATAPATH, else the root's "data" directory, by default);
 *   newdata: where a new data file goes.
 * - usermethod: a function of the user plug-in library by name.
 *
 * Paths composed here are at most 4095 characters; a buffer that receives
 * one holds 4096 bytes.
 *
 * The portability layer (kitbag) takes getkorvanel from libbasalt at run
 * time through this header.
 */
#ifndef BASALT_INSTALLROOT_H
#define BASALT_INSTALLROOT_H

#include <stdio.h>

#include "basalt_api.h"
#include "tbl.h"

BASALT_BEGIN_DECLS

/* ---- The installation root ---- */

/* The installation root (empty when none was found), fixed for the life of
 * the process after the first call. Lent: not to be freed or changed. */
BASALT_API char *getkorvanel(void);

/* ---- The environment ---- */

/* A new copy (the caller frees it) of s with every reference to a set
 * variable replaced by its value: "$" followed by letters and digits (an
 * underscore ends the name), or "${name}" ("${" without "}" takes the rest
 * of the text as the name). References to unset variables, and a "$" with
 * an empty name, stay as written. Names are cut to 1023 characters. */
BASALT_API char *expand_env(const char *s);

/* For each of the nenv pairs {name, path relative to the root}: when force
 * is nonzero or name is not set, name is set to the root, "/" and the
 * path. 0 when every setting was accepted, else minus the number refused. */
BASALT_API int fixup_env(char *envsetup[][2], int nenv, int force);

/* Sets the variables of the env file filename.env found in an "env"
 * directory along the data path: one "name value" per line (blanks or
 * tabs between; "#" ends the value; lines whose first word begins with "#"
 * are comments); the value's references are expanded, a missing value
 * sets the empty string. Lines or entries longer than 1023 characters are
 * skipped with a log message. Always 0; a missing file sets nothing. */
BASALT_API int envfile(const char *filename);

/* Prints every entry of the environment, sorted by strcmp, one a line. A
 * null file means the standard output. */
BASALT_API void showenv(FILE *file);

/* ---- Data files ---- */

/* A new list (the caller frees it and its strings) of the candidate paths
 * for filename below dirname in each element of the ":"-separated path
 * (null or empty: DATAPATH, else the root's "data"), in path order. An
 * element that is a file is itself a candidate. flags: 1 expands the
 * references in path (expand_env), 2 keeps candidates that cannot be read.
 * errno is kept. */
BASALT_API Tbl *datasearch(const char *path, const char *dirname,
                           const char *filename, int flags);

/* A new copy (the caller frees it) of the first readable filename.suffix
 * (just filename when suffix is empty) below dirname along the value of
 * the variable envname (when given and set), else DATAPATH, else the
 * root's "data"; null when there is none. */
BASALT_API char *datapath(const char *envname, const char *dirname,
                          const char *filename, const char *suffix);

/* datapath(envname, "", filename, ""). */
BASALT_API char *datafile(const char *envname, const char *filename);

/* Writes into returnpath (4096 bytes) where dirname/filename.suffix is to
 * be written: below the first directory of the variable envname when it is
 * given and set, else below the root's "data"; makes the file's directory.
 * 0 when the file is not there yet (cannot be read), 1 when it exists and
 * is writable, -1 when it exists and is not writable, its directory cannot
 * be made or the path would be longer than 4095 characters. */
BASALT_API int newdata(char *returnpath, const char *envname,
                       const char *dirname, const char *filename,
                       const char *suffix);

/* ---- The user plug-in library ---- */

/* The address of the function methodname of the user plug-in library
 * (USER_LIBRARY, else "libuser.so"; a name not beginning with "/" lies in
 * the root's "lib" directory), or null when there is no such library or
 * function. The library is loaded on first use and looked at again at most
 * every 10 seconds: when its file has changed it is loaded anew. */
BASALT_API void *usermethod(const char *methodname);

BASALT_END_DECLS

#endif
