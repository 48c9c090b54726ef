/* Parameter files: the node record, whole-tree operations, the text
 * parser, the search path with merging and rereading, the named registry
 * of trees, and the writers.
 *
 * A parameter file is a tree of Pf nodes: the top node maps keys to
 * values; a value is a text (SCALAR_PF), a list of values (TABLE_PF, read
 * from "&Tbl{"), an array of further keys (ARRAY_PF, read from "&Arr{")
 * or a deferred function (FUNCTION_PF, "&name(...)") evaluated when the
 * value is looked up. The lookups, typed getters, path expressions and
 * editing are declared by pfaccess.h, included at the end.
 *
 * Threads: the parser is guarded by one process-wide mutex (parses run one
 * after another); the search-path registry of pfupdate and the named
 * registry of getPf have mutexes of their own. A tree has no lock: it
 * belongs to one thread at a time.
 */
#ifndef BASALT_PF_H
#define BASALT_PF_H

#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include "basalt_api.h"
#include "arrays.h"
#include "hooks.h"
#include "tbl.h"

BASALT_BEGIN_DECLS

/* Kind codes of a node (the `type` field). A node of kind -1 holds the
 * output text of a command value whose command failed. */
typedef enum Pf_type {
    FILE_PF = 0,      /* top of a read file: value.arr */
    SCALAR_PF = 1,    /* text: value.s */
    TABLE_PF = 2,     /* list: value.tbl of Pf* */
    ARRAY_PF = 3,     /* keyed nodes: value.arr of key to Pf* */
    UNDEFINED_PF = 4, /* never made by the parser */
    INVALID_PF = 5,   /* failure text: value.s (may be null) */
    ANY_PF = 6,       /* placeholder; as an expected kind: any kind */
    FUNCTION_PF = 7   /* deferred function: value.pffunct */
} Pf_type;

struct Pf;

/* A deferred function value. */
typedef struct Pffunct {
    char *s;       /* the text as read, beginning with "&" (owned) */
    struct Pf *pf; /* result of the latest evaluation (owned), or null */
    Hook *hook;    /* "&file(" / "&filename(" values read by the parser:
                    * p holds a copy of the name of the parameter file the
                    * value came from; null otherwise */
} Pffunct;

typedef union Pfvalue {
    char *s;           /* SCALAR_PF, INVALID_PF, -1 */
    Arr *arr;          /* FILE_PF, ARRAY_PF: key to Pf* */
    Tbl *tbl;          /* TABLE_PF: Pf* */
    Pffunct *pffunct;  /* FUNCTION_PF */
} Pfvalue;

typedef struct Pf {
    int32_t type;       /* kind code (Pf_type, or -1) */
    Pfvalue value;      /* by kind; owned */
    struct Pf *parent;  /* list or array holding this node (parser only) */
    char *filename;     /* top node only: name the tree was read under;
                         * not owned */
    char *filled_out;   /* owned cache of the &-expanded text, or null */
} Pf;

/* One file seen by pfupdate: its modification time and its path. */
typedef struct Pftime {
    time_t time;    /* modification time, whole seconds */
    char *filename; /* allocated path */
} Pftime;

/* One record of pfupdate's registry. */
typedef struct Pfstate {
    Tbl *files; /* direct list of Pftime seen at the last read */
    Pf *pf;     /* the slot the reread parses into */
} Pfstate;

/* Number of parses (and path walks) in progress in the process. It is
 * changed and read only atomically; inside the library use the helpers of
 * pf_private.h, which also keep the per-thread count the error log looks
 * at before reading its own parameter file. */
BASALT_API extern int32_t Pf_busy;

/* ---- Nodes and whole trees ---- */

/* A new node of kind type: FILE_PF and ARRAY_PF get an empty Arr,
 * TABLE_PF an empty Tbl, FUNCTION_PF an empty Pffunct; other kinds have
 * no value. */
BASALT_API Pf *pfnew(int type);

/* Frees a tree (null is ignored). */
BASALT_API void pffree(Pf *pf);

/* A deep copy of a file, array, scalar, list or function node (a function
 * copy keeps the text only). Any other kind is fatal. */
BASALT_API Pf *pfdup(Pf *old);

/* 0 when the trees are equal, 1 when they differ, -1 for a kind the
 * comparison does not know. */
BASALT_API int pfcmp(Pf *pf1, Pf *pf2);

/* ---- Parsing ---- */

/* Parse text into *pf (a new tree when *pf is null, else merged into the
 * file or array node already there). 0, or -2 after a parse error; the
 * part parsed before an error stays in *pf. */
BASALT_API int pfinfd(int fd, Pf **pf);
BASALT_API int pfin(FILE *file, Pf **pf);
BASALT_API int pfcompile(const char *string, Pf **pf);

/* The name recorded in "&file(" and "&filename(" values parsed from now
 * on by pfinfd and pfin (the pointer is kept; it must stay valid while it
 * is in use). */
BASALT_API void setpffilename(const char *path);

/* ---- Search path, merging and rereading ---- */

/* A new list (the caller frees each text and the list) of the files of
 * the parameter file name along PFPATH (default: the installation's
 * data/pf, then "."), a name with a directory part adding itself last.
 * all: also list files that cannot be read. */
BASALT_API Tbl *pffiles(const char *name, int all);

/* A new direct list of Pftime for the readable files of name. */
BASALT_API Tbl *pftimes(const char *name);

/* Frees the path of a Pftime (the entry destructor of those lists). */
BASALT_API void freepftime(Pftime *v);

/* 0 when both lists name the same files with the same times, else 1. */
BASALT_API int cmppftimes(Tbl *tbl1, Tbl *tbl2);

/* Reads every file of name into one new tree stored in *pf (always).
 * 0, -2 per file that failed to parse, or -1 when no file was opened or
 * the tree is empty. */
BASALT_API int pfread(const char *name, Pf **pf);

/* Reads filename.pf found below dirname along envname / DATAPATH / the
 * installation's data directory into a new tree stored in *pf (always).
 * 0, -2 after a parse error, -1 when not found or not opened. */
BASALT_API int pfload(const char *envname, const char *dirname,
                      const char *filename, Pf **pf);

/* Rereads name into *pf when any of its files changed since the last call
 * for this (name, variable) pair, freeing the old tree. 1 reread, 0
 * unchanged, negative when the reread failed. */
BASALT_API int pfupdate(const char *name, Pf **pf);

/* ---- Named registry of trees ---- */

/* The registered tree of name, read and registered first when absent;
 * null when it cannot be read. */
BASALT_API Pf *getPf(const char *name);

/* The registered tree of name, or null; never reads. */
BASALT_API Pf *existsPf(const char *name);

/* Registers pf under name, freeing a tree registered before. */
BASALT_API void putPf(const char *name, Pf *pf);

/* Registers pf under name; a tree registered before stays the caller's. */
BASALT_API void putPf_nofree(const char *name, Pf *pf);

/* 1 when the registered tree was reread and replaced, 0 when unchanged,
 * -1 when the name cannot be read, or another negative reread failure. */
BASALT_API int updatePf(const char *name);

/* 0 after removing and freeing the registered tree, -1 when none. */
BASALT_API int freePf(const char *name);

/* ---- Writing text ---- */

/* Writes pf to filename (truncated) in the indented layout. 0 or -1. */
BASALT_API int pfwrite(const char *filename, Pf *pf);

/* Writes pf to file in the indented layout. -1 when pf is null or has no
 * value. */
BASALT_API int pfout(FILE *file, Pf *pf);

/* A new text (the caller frees it) of pf in the compact layout. */
BASALT_API char *pf2string(Pf *pf);

BASALT_END_DECLS

#include "pfaccess.h"

#endif
