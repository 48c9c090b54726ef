/* kitbag: the portability layer. Linked statically into every program and
 * exported from it; libbasalt takes these functions from the program. */
#ifndef KITBAG_H
#define KITBAG_H

#include "basalt_api.h"

BASALT_BEGIN_DECLS

/* Process services */
BASALT_API void *std_dlopen(char *name);
BASALT_API char *getexecname(void);
BASALT_API int nomem(void *address, int n);

/* Signal names: the number of a name given with or without "SIG", and the
 * name ("SIG" and the first name in the table) of a number. */
BASALT_API extern int Nsig;
BASALT_API int str2sig(char *name, int *sig);
BASALT_API int sig2str(int sig, char *buf);

/* Host identity */
BASALT_API int my_hostname(char *buf);

BASALT_END_DECLS

#endif
