/* Running other programs without a shell, and the login check. */
#ifndef BASALT_COMMANDS_H
#define BASALT_COMMANDS_H
#include "basalt_api.h"

BASALT_BEGIN_DECLS

/* Runs argv[0] (searched along PATH) with argv; its standard input ends at
 * once. *result receives a new NUL-terminated text (the caller frees it) of
 * everything the program wrote on its standard output and error. Returns
 * the program's exit status, 128 plus the signal number when a signal ended
 * it, or -1 when it could not be started (logged; *result untouched). */
BASALT_API int runcmd(char **argv, char **result);

/* Whether the program of command (its text up to the first blank or '&')
 * can be run, looking in the current directory and then along the path
 * held by the environment variable pathenv (null: no path):
 * 0 yes, -1 not found, -2 not readable and executable, -3 being executed
 * right now (write test fails with ETXTBSY), -4 other access failure. */
BASALT_API int check_cmd(char *command, char *pathenv);

/* Runs a command line without a shell: words at blanks, "..." words,
 * redirections "<f", ">f", ">>f", "2>f", "2>>f" (operator and file name in
 * one word) and a final "&" for the background. Returns the exit status of
 * a foreground command, the process id of a background one, a code of
 * check_cmd (-3 only when share is 0), -5 when a redirection file cannot be
 * opened, -6 when the fork fails, -7 when the wait fails, -8 when a signal
 * ended the command. For a foreground command *coreflag receives 128 when
 * a core was dumped (else 0) and *termsig the signal (else 0); either
 * pointer may be null. */
BASALT_API int my_system(char *command, int share, int *coreflag, int *termsig);

/* Runs the installation's user-authentication program "bin/wardcheck"
 * (with user as argument when user is not empty) and returns its exit
 * status. When user is an empty string it receives the name the program
 * printed, without its last character, as at most 15 characters followed
 * by NULs (user must hold 16 bytes). */
BASALT_API int wardcheck(char *user);

/* The same with the windowing variant "bin/xwardcheck". */
BASALT_API int xwardcheck(char *user);

BASALT_END_DECLS

#endif
