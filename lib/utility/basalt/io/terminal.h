/* Terminal modes, questions on the controlling terminal, the usage banner
 * and deprecation notices. */
#ifndef BASALT_TERMINAL_H
#define BASALT_TERMINAL_H

#include "basalt_api.h"

BASALT_BEGIN_DECLS

/* 1 when fd is a terminal (its attributes can be read), else 0. */
BASALT_API int is_tty(int fd);

/* Mode switches on the terminal fd. The first switch of the process that
 * reads the settings keeps them for tty_reset. Each returns 0, -1 when the
 * settings cannot be read, -2 when they cannot be set; changes are applied
 * after pending output is sent, with unread input discarded. */
BASALT_API int tty_noecho(int fd);   /* echo off */
BASALT_API int tty_echo(int fd);     /* echo on */
BASALT_API int tty_immediate(int fd);/* character input, one byte at a time */
BASALT_API int tty_byline(int fd);   /* line input again */
/* Applies the setting the terminal had before the first switch: 0, or -2
 * when it cannot be applied. Before any switch it leaves fd alone. */
BASALT_API int tty_reset(int fd);

/* Questions on "/dev/tty", prefixed with the program name. The answers are
 * new strings without their newline; the caller frees them. */
BASALT_API char *ask(char *fmt, ...);
BASALT_API char *asknoecho(char *fmt, ...);
/* 1 yes, 0 no (end of input on the terminal also answers no). */
BASALT_API int askyn(char *fmt, ...);
/* 1 yes, 0 no, 2 all, 3 quit (end of input on the terminal answers no). */
BASALT_API int askynaq(char *fmt, ...);

/* Prints the program's banner to the standard error; the texts are
 * optional (null, or not starting with a printable character, to omit). */
BASALT_API void cbanner(char *version, char *usage, char *author,
                        char *location, char *email);

/* Complains that the program is deprecated, naming alternates if given. */
BASALT_API void deprecate(char *alternates);

BASALT_END_DECLS

#endif
