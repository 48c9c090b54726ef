/* Mapped files and decompression on open.
 *
 * Whole files are mapped into memory through a cache keyed by file name,
 * so that repeated requests for one file share one mapping:
 *
 * - mapfile: read-only, decompressing compressed files (".Z", ".gz",
 *   ".bz2") first;
 * - wmapfile: read-write and shared, so that stores reach the file;
 * - vmapfile: a cache entry that may be given up (vunmapfile) to make room
 *   when a later mapping fails.
 *
 * A cache is an Arr keyed by the file name exactly as the caller wrote it,
 * whose values are Mapdata records made by the cache. Callers pass the
 * address of their Arr pointer and the array is made on first use; NULL
 * selects the process-wide cache, which is shared by all threads and
 * guarded by a mutex of its own. A caller's own array has no lock and
 * belongs to one thread at a time.
 *
 * References. Every successful mapfile or wmapfile takes one reference on
 * the file's entry (kept in `ref`); unmapfile gives one back, and the
 * mapping is removed only when the last reference is released. vmapfile
 * takes no reference: its mapping may be given up to make room, which
 * never happens to an entry that still has references.
 *
 * Freshness. A request for a cached name examines the file again: when it
 * is another file now, when its size has changed, or (for a decompressed
 * copy) when its modification time has changed, the file is mapped afresh
 * and the entry shows the new mapping. Earlier mappings of the name stay
 * valid until its last reference is released. A plain mapping is shared
 * with the file and always shows its present bytes, so a new modification
 * time alone does not remap it. A read-write request never receives a
 * read-only mapping, and a request for the raw bytes of a compressed file
 * never receives its decompressed copy (nor the other way round).
 *
 * Decompression runs "zcat", "bzcat" or "gunzip", found along PATH, without
 * a shell, into a temporary file in "/var/tmp" that is unlinked as soon as
 * it is made; the data lives as long as the descriptor, stream or mapping.
 * A command that fails makes the open fail: nothing partial is returned.
 */
#ifndef BASALT_MAPFILE_H
#define BASALT_MAPFILE_H

#include <stdio.h>

#include "arrays.h"
#include "basalt_api.h"

BASALT_BEGIN_DECLS

/* One entry of a mapped-file cache. */
typedef struct Mapdata {
    char *mmap_data; /* start of the mapping; NULL once given up by vunmapfile */
    int mmap_size;   /* length of the mapping (the file's size when mapped) */
    int counter;     /* use stamp: the process-wide use count at the last use */
    int ref;         /* references taken by mapfile and wmapfile, not yet released */
} Mapdata;

/* Maps filename read-only (decompressing ".Z", ".gz" and ".bz2" files) and
 * stores the mapping's address in *mmap_datap. Returns the size in bytes;
 * -1 on failure (logged), with *mmap_datap set to the all-ones address.
 * A file larger than an int can count cannot be mapped. */
BASALT_API int mapfile(const char *filename, Arr **maparr, char **mmap_datap);

/* Maps filename read and write, shared with the file (no decompression).
 * Returns the size; -1 on failure (logged), *mmap_datap left untouched. */
BASALT_API int wmapfile(const char *filename, Arr **maparr, char **mmap_datap);

/* Maps filename read-only (no decompression) and returns its entry; while
 * the mapping fails, the least recently used mapping without references is
 * given up and the mapping tried again. NULL on failure (logged). The entry
 * belongs to the cache; its mapping may be given up by a later vmapfile on
 * the same cache, so a thread that shares the process-wide cache with
 * others reads it only through mapfile. */
BASALT_API Mapdata *vmapfile(const char *filename, Arr **maparr);

/* Gives up the least recently used mapping of the cache among the entries
 * without references: the mapping is removed, mmap_data set to NULL and
 * the entry kept. 0 when one was given up; -1 when there is none, or no
 * array, or munmap fails (logged). */
BASALT_API int vunmapfile(Arr **maparr);

/* Releases one reference to filename's entry; when none remains, removes
 * every mapping of the name and forgets the entry. 0 on success; -1 without
 * a message when the name (or the array) is unknown, and -1 with a message
 * when munmap fails (the entry is then kept). */
BASALT_API int unmapfile(const char *filename, Arr **maparr);

/* Removes every mapping and entry of the cache, whatever its references,
 * frees the array and sets the caller's pointer to NULL. Returns 0, or
 * minus the number of mappings that failed to unmap (each logged). */
BASALT_API int unmaparr(Arr **maparr);

/* A new zeroed cache entry (out of memory is fatal). Entries are made by
 * the cache itself; callers do not put records of their own into a cache. */
BASALT_API Mapdata *new_Mapdata(void);

/* A read-only descriptor of filename, or of its decompressed copy for the
 * names ending in ".Z", ".gz" (zcat) and ".bz2" (bzcat); -1 on failure,
 * with errno set. Never logs. */
BASALT_API int gz_openfd(const char *filename);

/* As gz_openfd, as a stdio stream opened for reading; NULL on failure. */
BASALT_API FILE *gz_open(const char *filename);

/* As gz_open, decompressing ".Z" and ".gz" files with gunzip. */
BASALT_API FILE *zopen(const char *filename);

/* A stream reading the output of zcat (".Z", ".gz") or bzcat (".bz2") from
 * a pipe, or the file itself for other names; NULL on failure. Close it
 * with fclose. When the command fails, the stream ends with a read error
 * (ferror) instead of a plain end of file, and fclose returns EOF. The
 * stream of a pipe has no descriptor of its own (fileno gives -1). */
BASALT_API FILE *gz_cat(const char *filename);

BASALT_END_DECLS

#endif
