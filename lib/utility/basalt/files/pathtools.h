/* Paths and interrupt-safe system calls.
 *
 * - Path text: cleaning ("." and ".." components, repeated "/", "~" and
 *   "~user", optionally symbolic links), joining, absolute and relative
 *   forms, splitting into directory, base name and suffix, home
 *   directories, and making chains of directories.
 * - Thin wrappers around stat, lstat, fstat, lseek, read and write that
 *   repeat the call while it fails with EINTR, and two setters of a
 *   descriptor's status flags. The library stats, reads, writes and seeks
 *   through these.
 *
 * Paths are at most 4095 characters. Every buffer that receives a path
 * (the results of cleanpath, abspath, relpath and absdir, and the parts
 * written by dirbase and parsepath) holds 4096 bytes; no function here
 * writes more than that into it: a result that would not fit is refused
 * (an empty string, -1 where the function has a result, errno
 * ENAMETOOLONG).
 *
 * Nothing here keeps state between calls; everything may be called from
 * any thread, except absdir, which changes the process's current directory
 * for the length of the call.
 */
#ifndef BASALT_PATHTOOLS_H
#define BASALT_PATHTOOLS_H

#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "basalt_api.h"

BASALT_BEGIN_DECLS

/* ---- Path text ---- */

/* Writes into cleaned (4096 bytes) the path with "." components dropped,
 * ".." folded into the component before it where that is safe, repeated
 * and trailing "/" removed, a leading "~" or "~user" replaced by the home
 * directory and, with flags bit value 1, symbolic links resolved. A relative path
 * stays relative ("." when nothing is left); the root alone gives "".
 * Returns 0, or -1 when a component before the last one does not exist,
 * when a ".." climbs out of a resolved link, after more than 11 links, when
 * a link cannot be read, or when the result is longer than 4095 characters
 * (cleaned then empty). path and cleaned may be the same buffer. */
BASALT_API int cleanpath(const char *path, int flags, char *cleaned);

/* A new cleaned path (the caller frees it): the pieces up to the first
 * null one joined with "/"; a piece beginning with "/" starts over. An
 * empty first piece means ".". */
BASALT_API char *concatpaths(const char *piece, ...);

/* Writes into absp (4096 bytes) the absolute cleaned form of relp (a path
 * beginning with "/" or "~" is taken as it is; others are taken from the
 * current directory). Returns cleanpath's result, or -1 after logging when
 * the current directory cannot be read (absp then holds relp). */
BASALT_API int abspath(const char *relp, char *absp);

/* Writes into relp (4096 bytes) the path of to relative to the directory
 * from. Returns 0, or -1 when from does not exist or is not a directory
 * (a file's own directory is then used) or the result would not fit. */
BASALT_API int relpath(const char *from, const char *to, char *relp);

/* Writes into abs (4096 bytes) the physical absolute path of the directory
 * dir, every link resolved: 0; -1 with abs empty when dir cannot be
 * entered. Changes the current directory for the length of the call and
 * ends the process when it cannot change back. */
BASALT_API int absdir(const char *dir, char *abs);

/* Splits path at its last "/": dir receives what comes before ("/" for a
 * path directly under the root), base what comes after. Without a "/", dir
 * is "." and base is path. dir and base hold 4096 bytes each. */
BASALT_API void dirbase(const char *path, char *dir, char *base);

/* Splits path at its last "/": dir receives what comes before (empty for a
 * path directly under the root), base what comes after; without a "/", dir
 * is "." and base is path. With suffix not null, base is further cut at
 * its last "." and suffix receives what follows ("" without a "."). Each
 * buffer holds 4096 bytes. */
BASALT_API void parsepath(const char *path, char *dir, char *base,
                          char *suffix);

/* 1 when both paths have the same absolute cleaned form (links not
 * resolved), else 0. */
BASALT_API int samepath(const char *path1, const char *path2);

/* Makes dir, and its missing parents, with mode 0775. 0 when dir then is
 * a writable directory; else -1 after logging why. */
BASALT_API int makedir(const char *dir);

/* Makes the directory part of filename (see makedir): 0 when filename has
 * no directory part, else makedir's result. */
BASALT_API int make_pathdirs(const char *filename);

/* A new copy (the caller frees it) of the home directory of user, or of
 * the current user when user is null or empty; null when there is no such
 * user. */
BASALT_API char *homedir(const char *user);

/* ---- Interrupt-safe system calls ----
 * Each repeats its system call while it fails with EINTR and returns the
 * last result, errno as the call left it. */

BASALT_API int restat(const char *path, struct stat *buf);
BASALT_API int relstat(const char *path, struct stat *buf);
BASALT_API int refstat(int fd, struct stat *buf);

/* The offset is 64 bits wide on every board, so that files beyond 2 GB
 * can be positioned where off_t has 32 bits. */
BASALT_API int64_t relseek(int fd, int64_t offset, int whence);

/* errno is 0 before each try. */
BASALT_API ssize_t reread(int fd, void *buf, size_t nbytes);
BASALT_API ssize_t rewrite(int fd, const void *buf, size_t nbytes);

/* Sets (set_fl) or clears (clr_fl) flags in the descriptor's status flags
 * (F_GETFL / F_SETFL): 0, or -1 when either fcntl call fails. */
BASALT_API int set_fl(int fd, int flags);
BASALT_API int clr_fl(int fd, int flags);

BASALT_END_DECLS

#endif
