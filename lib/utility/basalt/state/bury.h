/* State files and termination signals.
 *
 * A long-running program registers some of its variables (relics) under
 * names; bury saves them as parameter-file text into the state file and
 * resurrect restores them from it when the program starts again. exhume
 * opens the state file and locks it for exclusive use for the life of the
 * process, so that two programs never work from one state.
 *
 * The state file holds one line per saved name (name, tab, value) in
 * ascending key order. A save writes the whole text to the state file's
 * name with "+" appended, flushes it to disk and moves it over the state
 * file with rename, so a crash leaves either the old or the new state.
 *
 * When exhume is given a stop flag, SIGHUP, SIGINT, SIGQUIT and SIGTERM set
 * the flag to the signal number and then, by the seconds given: 0 saves
 * the state and exits with status 1 at once; a positive count saves and
 * ends the program that many seconds later unless it saved meanwhile;
 * a negative count only sets the flag. The signal handlers themselves only
 * set flags; the saving and ending is done by a helper thread they wake. */
#ifndef BASALT_BURY_H
#define BASALT_BURY_H

#include <stdio.h>

#include "basalt_api.h"
#include "arrays.h"
#include "pf.h"

BASALT_BEGIN_DECLS

/* A pointer to the program's variable. */
typedef union Relic {
    int *ip;
    double *dp;
    char **sp;
} Relic;

typedef enum Relic_type {
    INT_RELIC = 0,    /* "%d"; restored with atoi */
    DOUBLE_RELIC = 1, /* strdbl text; restored with atof */
    STRING_RELIC = 2, /* the text; restored by pointing at the saved text */
    TIME_RELIC = 3    /* an epoch time as UTC time text; restored with str2epoch */
} Relic_type;

typedef struct Relic_record {
    Relic relic;
    int type;   /* a Relic_type */
    char *name; /* unused: the name is the record's key in relic_arr */
} Relic_record;

/* Called by bury with the new state before the relics go in. */
typedef void (*Grave_mortician)(Pf *pf);

/* The one state record of the process. */
typedef struct Grave {
    char *filename;  /* the state file */
    char *alternate; /* filename followed by "+" */
    FILE *file;      /* the open (and locked) state file; null when none */
    Arr *relic_arr;  /* relic name -> Relic_record* */
    Pf *old;         /* the state read at exhume; null when none */
    int *signal_stop; /* the program's stop flag, or null */
    int sec;         /* seconds a signalled program has to finish */
    Grave_mortician mortician;
    int alarm_set;   /* 1 from a termination signal to the next bury */
} Grave;

/* For a scripting-language binding; the library leaves them alone. */
BASALT_API extern Arr *PerlRelics;
BASALT_API extern Pf *PerlOldRelics;

/* Opens (creating it and its directories when missing) and locks the
 * state file and reads it. 1 state read, 2 the text did not parse, 0 new
 * empty state file, -1 neither opened nor created, -2 a state file was
 * already exhumed by this process. With signal_stop, installs the
 * termination handling described above (*signal_stop set to 0). */
BASALT_API int exhume(char *filename, int *signal_stop, int sec,
                      void (*mortician)(Pf *));

/* As exhume, but makes no directories and does not lock a file it creates;
 * *pf receives the state read (also when the result is -2). */
BASALT_API int perlexhume(char *filename, int *signal_stop, int sec,
                          void (*mortician)(Pf *), Pf **pf);

/* Registers a variable under name and restores its saved value. 1 no saved
 * value (the variable is left alone), 0 restored, -1 nothing exhumed. */
BASALT_API int resurrect(char *name, Relic relic, Relic_type type);

/* Saves the registered variables. 0, or -1 when nothing is exhumed or the
 * save failed (the state file is then left as it was). */
BASALT_API int bury(void);

/* Installs handler for SIGHUP, SIGINT, SIGQUIT and SIGTERM. */
BASALT_API void setup_signal_handlers(void (*handler)(int));

/* On a termination signal *haltflag becomes 1; with timeout > 0, timeout
 * seconds later mortician is called (with SIGALRM) and the program ends. */
BASALT_API void setup_signals(int *haltflag, void (*mortician)(int),
                              int timeout);

/* Ends the process the given seconds from now. */
BASALT_API void die_soon(double seconds);

BASALT_END_DECLS

#endif
