/* The error log: every part of the system reports through it.
 *
 * A message is formatted printf-style, given a severity, tagged, stored in a
 * process-wide register (folded into the previous entry when it repeats it
 * word for word) and delivered according to the severity's delivery words.
 * Delivering prints the waiting messages and empties the register, so
 * messages of a severity that is not delivered (by default "log") wait and
 * come out with the next delivered message.
 *
 * Severities: 0 log, 1 notify, 2 complain, 3 die (exit status 1 after
 * delivery), 4 fault (abort after delivery), 5 debug, 6 alert.
 *
 * Every entry point takes a flag that, when nonzero, adds the system's text
 * for the current errno (when errno is not 0). After any logging call errno
 * is 0. */
#ifndef BASALT_ELOG_H
#define BASALT_ELOG_H

#include <signal.h>
#include <stdarg.h>
#include <stdio.h>

#include "basalt_api.h"
#include "tbl.h"

#if defined(__GNUC__)
#define BASALT_ELOG_PRINTF(f, a) __attribute__((format(printf, f, a)))
#define BASALT_ELOG_NORETURN __attribute__((noreturn))
#else
#define BASALT_ELOG_PRINTF(f, a)
#define BASALT_ELOG_NORETURN
#endif

BASALT_BEGIN_DECLS

/* One entry of the register. The strings belong to the entry. */
typedef struct Elog_msg {
    char *tag;    /* expanded tag; null for an empty message */
    char *msg;    /* message text, always ending in a newline */
    char *sys;    /* system error text, or null */
    int severity; /* severity of the first message of the entry */
    int n;        /* how many identical messages the entry stands for */
} Elog_msg;

/* Codes of elog_query and elog_set. Integers travel through the void
 * pointer as (void *)(intptr_t)n. */
typedef enum Elog_code {
    ELOG_TBL = 0,
    ELOG_TBLCP = 1,
    ELOG_TBLCPCL = 2,
    ELOG_ARGV = 3,
    ELOG_ARGC = 4,
    ELOG_COUNT = 5,
    ELOG_VERSION = 6,
    ELOG_MAXMSG = 7,
    ELOG_TAG = 8,
    ELOG_DELIVER = 9,
    ELOG_DEBUG = 10,
    ELOG_SIGNALS = 11,
    ELOG_CALLBACK = 12,
    ELOG_STRING = 13
} Elog_code;

/* A signal described by number and name (signal_bysig, signal_byname). */
typedef struct Signal_info {
    int sig;           /* signal number, -1 for an unrecognised name */
    char *name;        /* name without "SIG" */
    char *description; /* the system's description */
} Signal_info;

/* Name of the running program (a 4096-byte buffer), set by elog_init. */
BASALT_API extern char *Program_Name;
BASALT_API extern int Immediate_Flag;

/* Initialisation: copies the arguments, names the program and, once per
 * process, configures the log. Returns 0; errno is left as it was. */
BASALT_API int elog_init(int argc, char **argv);

/* Logging. */
BASALT_API void elog(int severity, int flag, const char *format, va_list args);
BASALT_API void elog_log(int flag, const char *format, ...) BASALT_ELOG_PRINTF(2, 3);
BASALT_API void elog_notify(int flag, const char *format, ...) BASALT_ELOG_PRINTF(2, 3);
BASALT_API void elog_complain(int flag, const char *format, ...) BASALT_ELOG_PRINTF(2, 3);
BASALT_API void elog_die(int flag, const char *format, ...) BASALT_ELOG_PRINTF(2, 3) BASALT_ELOG_NORETURN;
BASALT_API void elog_fault(int flag, const char *format, ...) BASALT_ELOG_PRINTF(2, 3) BASALT_ELOG_NORETURN;
BASALT_API void elog_debug(int flag, const char *format, ...) BASALT_ELOG_PRINTF(2, 3);
BASALT_API void elog_alert(int flag, const char *format, ...) BASALT_ELOG_PRINTF(2, 3);
/* Older names of elog_log, elog_complain and elog_die. */
BASALT_API void register_error(int flag, const char *format, ...) BASALT_ELOG_PRINTF(2, 3);
BASALT_API void complain(int flag, const char *format, ...) BASALT_ELOG_PRINTF(2, 3);
BASALT_API void die(int flag, const char *format, ...) BASALT_ELOG_PRINTF(2, 3) BASALT_ELOG_NORETURN;

/* The register. */
BASALT_API void elog_clear(void);
BASALT_API int elog_mark(void);
BASALT_API void elog_truncate(int n);
BASALT_API void elog_flush(int deliver, int n);
BASALT_API void elog_clear_register(int deliver);
BASALT_API char *elog_string(int first);
BASALT_API void elog_print(FILE *file, int first);
BASALT_API void elog_printfd(int fd, int first);
/* Frees the strings of one entry (a free function for trunctbl/freetbl). */
BASALT_API void elog_free_msg(void *msg);

BASALT_API int elog_query(Elog_code code, int severity, void **value);
BASALT_API int elog_set(Elog_code code, int severity, void *value);

/* Relays a text to the ring-buffer server `ring` through libkestrel's
 * orbelog; without it the text goes to standard error. */
BASALT_API void call_orbelog(char *ring, char *program, char *text);

/* Starts (or, later, stops the process for) the fault severity's debugger. */
BASALT_API void elog_debugger(void);

/* The log's own steps, exported for the programs that drive the log
 * directly: delivery of the register from `first` on to a delivery setting,
 * expansion of a tag or debugger format into `result` (at most `rmax`
 * characters), the debugger hook, and the fault handlers for a
 * ":"-separated list of signal names. */
BASALT_API void elog_deliver(char *delivery, int first);
BASALT_API void elog_expand(char *format, char *result, int rmax);
BASALT_API void _elog_debug(char *command);
BASALT_API void elog_setup_fault_handler(char *signals);
/* siginfo_t is a POSIX type: strict ISO C compilations see it only with
 * _POSIX_C_SOURCE. */
#if !defined(__STRICT_ANSI__) || (defined(_POSIX_C_SOURCE) && _POSIX_C_SOURCE >= 199309L)
BASALT_API void _elog_fault(int sig, siginfo_t *info, void *context);
#endif

/* Signal naming; each returns its own static record. */
BASALT_API Signal_info *signal_bysig(int sig);
BASALT_API Signal_info *signal_byname(char *name);

BASALT_END_DECLS

#endif
