/* kitbag: process and signal services. */
#ifndef KITBAG_PROCESS_H
#define KITBAG_PROCESS_H

#include <pwd.h>
#include <signal.h>
#include <stdint.h>

#include "basalt_api.h"

BASALT_BEGIN_DECLS

/* Signal names. `Siglist` holds `Nsig` rows {name without "SIG", number},
 * searched in order; where a number has two names the first one wins.
 * KILL and STOP have no row. */
typedef struct Signame {
    const char *name;
    int sig;
} Signame;

BASALT_API extern const Signame Siglist[];
BASALT_API extern int Nsig;

/* The number of a signal name given with or without "SIG" (case-sensitive):
 * 0, or -1 when the name is unknown. */
BASALT_API int str2sig(char *name, int *sig);
/* Writes "SIG" and the first name of sig into buf (at least 16 bytes): 0,
 * or -1 (buf untouched) when the number has no name here. */
BASALT_API int sig2str(int sig, char *buf);

/* One-shot alarm: handler runs on SIGALRM after `seconds` (to the
 * microsecond); replaces any pending alarm, 0 seconds cancels it.
 * 0, or -1 after logging why. */
BASALT_API int std_set_timer(void (*handler)(int), double seconds);

/* The current time: seconds since 1970-01-01 00:00 UTC, to the microsecond.
 * now_ is the same for Fortran callers. */
BASALT_API double std_now(void);
BASALT_API double now_(void);

/* Waits for one of the signals in set (which the caller has blocked) and
 * returns its number; -1 on a bad set. */
BASALT_API int std_sigwait(sigset_t *set);

/* The current offset of a descriptor, -1 on failure. */
BASALT_API int64_t tell(int fd);

/* Loads a shared library: a name beginning with "/" is that path, any
 * other name the installation's lib/lib<name>.so.3. Null on failure. */
BASALT_API void *std_dlopen(char *name);

/* Fills pw with the system's entry for name: 0, or -1 with pw zeroed. The
 * strings are lent: they stay valid until the next lookup by the same
 * thread. */
BASALT_API int std_getpwnam(char *name, struct passwd *pw);

/* SIGPIPE is ignored by the whole process from now on. */
BASALT_API void ignoreSIGPIPE(void);

/* Path of the running executable; kept for the life of the process, not to
 * be freed. "" when it cannot be read. */
BASALT_API char *getexecname(void);
/* Path of another process's executable, else its command line with the
 * arguments separated by blanks, else "". The caller frees the result. */
BASALT_API char *pidexecname(int pid);

/* Nonzero when the n bytes at address cannot be read; this platform keeps
 * no such record and always answers 0. */
BASALT_API int nomem(void *address, int n);

/* Two spare streams on "/dev/null" kept for the moment a descriptor is
 * needed: reserve_FILE fills every empty slot, release_FILE closes one. */
BASALT_API void reserve_FILE(void);
BASALT_API void release_FILE(void);

/* Logs that name is unimplemented on this platform; returns value. */
BASALT_API int UNIMPLEMENTED(char *name, int value);

/* Prints the usage banner of a program to the standard error; the result
 * is that of the last print. */
BASALT_API int banner(char *program, char *revision);

/* Removes the first occurrence of s from text in place: 1, or 0 when s
 * does not occur. */
BASALT_API int delstr(char *text, char *s);

BASALT_END_DECLS

#endif
