/* File tests, sizes and dates, free space, and directory listings.
 *
 * The tests follow symbolic links (they stat the path). They never log, and
 * they leave errno as they found it: a failed test simply reads as "no".
 *
 * The directory readers (is_empty, dirfiles, directory) each hold a mutex
 * of their own while reading a directory; is_changed guards its memory of
 * modification times with a mutex. Everything else keeps no state.
 */
#ifndef BASALT_FILETESTS_H
#define BASALT_FILETESTS_H

#include <sys/stat.h>

#include "arrays.h"
#include "basalt_api.h"
#include "tbl.h"

BASALT_BEGIN_DECLS

/* 1 for an existing regular file, else 0. */
BASALT_API int is_file(const char *path);

/* 1 for an existing directory, else 0. */
BASALT_API int is_dir(const char *path);

/* 1 when the path can be stat'ed, else 0. */
BASALT_API int is_present(const char *path);

/* 1 for a directory holding no entries (beyond "." and "..") or a regular
 * file of size 0; 0 otherwise, also for a missing path; -1 when the
 * directory cannot be read. */
BASALT_API int is_empty(const char *path);

/* 1 when path is an existing regular file that may be written, or does not
 * exist and a file may be made in its directory; else 0. */
BASALT_API int is_writable_file(const char *path);

/* 1 when name is not NULL and begins with "/", "./" or "../"; else 0. */
BASALT_API int is_filename(const char *name);

/* Size of a regular file in bytes (UINT_MAX for anything larger), 0 for
 * anything else. */
BASALT_API unsigned int filesize(const char *path);

/* Modification time in seconds since 1970 (limited to the range of the
 * result); 0 when the path cannot be stat'ed. */
BASALT_API unsigned int filetime(const char *path);

/* The whole st_mode (type and permission bits) of a regular file; 0 for
 * anything else. */
BASALT_API unsigned int filemode(const char *path);

/* 1 when the modification time of filename differs from the one seen at
 * the previous call for the same name (names are taken exactly as
 * written), else 0. The first call for an existing file gives 1, for a
 * missing one 0; a file that disappears gives 1 once. */
BASALT_API int is_changed(const char *filename);

/* 1 when the file system holding path has more than mbavail megabytes
 * (units of 1,000,000 bytes) available to ordinary users, else 0. */
BASALT_API int freespace(const char *path, double mbavail);

/* Bytes in decimal giga-, mega- and kilobytes. */
BASALT_API double gbytes(double bytes);
BASALT_API double mbytes(double bytes);
BASALT_API double kbytes(double bytes);

/* The entry names of directory path, sorted by strcmp, "." and ".." left
 * out: flag 0 every entry, 1 regular files, 2 directories (links
 * followed); any other flag nothing. Each name is a new string: free the
 * list with freetbl(list, free). A path that is not a readable directory
 * gives an empty list. */
BASALT_API Tbl *dirfiles(const char *path, int flag);

/* Fills *dirs and *files (both always made, keyed by entry name) with a
 * new struct stat record (links followed) for each subdirectory and each
 * regular file of path; free them with freearr(arr, free). 0 for a
 * directory (also one that cannot be opened, which gives empty arrays),
 * -1 when path is not a directory. */
BASALT_API int directory(const char *path, Arr **dirs, Arr **files);

/* Flag bits of fstraverse. */
#define FSTRAVERSE_NO_DIRS 1    /* no callback for directories */
#define FSTRAVERSE_NO_FILES 2   /* no callback for regular files */
#define FSTRAVERSE_DEPTH_FIRST 4 /* a directory's contents before itself */

/* Walks the tree below path (links followed), calling
 * user(entry path, its stat record, pvt) for each directory and regular
 * file met, names in strcmp order within each group: without
 * FSTRAVERSE_DEPTH_FIRST, a directory's files, then each subdirectory
 * followed by its walk; with it, each subdirectory's walk followed by the
 * subdirectory, then the files. The path and the record belong to the walk.
 * Returns the sum of the callback results and of the nested walks, -1 when
 * path is not a directory. A subdirectory that leads back to one of its
 * own ancestors (through a link) is reported but not entered again. */
BASALT_API int fstraverse(const char *path, int flags,
                          int (*user)(const char *path, struct stat *statbuf,
                                      void *pvt),
                          void *pvt);

/* Creates the new file name (it must not exist) holding exactly nbytes
 * bytes: the first initsize bytes of init, then zero bytes. 0, or -1 after
 * a message (a file already created stays on disk). */
BASALT_API int mkfile(const char *name, unsigned int nbytes, const void *init,
                      int initsize);

/* 1 when a file named "verbose" exists in the current directory, else 0
 * with errno set to 0. */
BASALT_API int verbose_exists(void);

BASALT_END_DECLS

#endif
