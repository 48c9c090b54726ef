/* kitbag: line readers over mapped files and command output.
 *
 * A reader hands out the lines of a whole file, or of the captured output
 * of a command, through a small integer handle. A file is mapped read-only
 * at once; a command's standard output and standard error go to an
 * unnamed temporary file, which is mapped when the first line is asked
 * for, after the command has finished.
 *
 * Handles are the lowest free slots of one process-wide table and are
 * reused after gxclose. Opening and closing may happen in any thread; one
 * reader is read by one thread at a time.
 */
#ifndef KITBAG_LINEREADER_H
#define KITBAG_LINEREADER_H

#include "basalt_api.h"

BASALT_BEGIN_DECLS

/* The record behind a handle. */
typedef struct Gxfile {
    char *map; /* start of the mapped data; null until mapped */
    int len;   /* length of the mapped data in bytes */
    int pid;   /* the running command; -1 when none or already waited for */
    int fd;    /* the command's output file; -1 once mapped or when none */
    int pipe;  /* the parent's end of the command's input pipe; 0 for a file,
                 -1 once closed */
    int pos;   /* offset of the next unread byte */
} Gxfile;

/* A reader of the whole file path, or -1 (complained about). */
BASALT_API int gxopen(char *path);

/* Starts a command and returns a reader of its output, or -1. The command
 * line is split at blanks into the program path (used as it stands, no
 * search along PATH) and its arguments; no shell is involved, so quotes,
 * variables and operators are passed to the program as they are. envp is
 * the program's whole environment (null for an empty one). The command's
 * standard input reads end of file at once; *pipefd receives the parent's
 * end of that input pipe. */
BASALT_API int gxpipe(char *command, char **envp, int *pipefd);

/* Reads the next line into buf (size bytes, at least 2) without its
 * newline: 1 a line was read; 2 the line did not fit, the rest follows on
 * the next call; 0 no more data (or no such reader). A NUL byte in the
 * data ends it. */
BASALT_API int gxline(int handle, char *buf, int size);

/* The offset of the next unread byte, or -1 for a handle that names no
 * reader. */
BASALT_API int gxtell(int handle);

/* Moves to offset pos (0 to the data's length): 0, or -1 when pos is
 * outside; 0 for a handle that names no reader. */
BASALT_API int gxseek(int handle, int pos);

/* Releases a reader (a command not yet read is waited for): 0, or the
 * failing result of unmapping. 0 for a handle that names no reader. */
BASALT_API int gxclose(int handle);

/* Waits for a command reader's command and maps its output: 0 when the
 * reader now has data, -1 when it has none. Called by gxline. */
BASALT_API int gxmap(Gxfile *gx);

BASALT_END_DECLS

#endif
