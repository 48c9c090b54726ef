/* kitbag: process and signal services. */
#ifndef KITBAG_PROCESS_H
#define KITBAG_PROCESS_H

#include "basalt_api.h"

BASALT_BEGIN_DECLS

BASALT_API void *std_dlopen(char *name);
BASALT_API char *getexecname(void);
BASALT_API int nomem(void *address, int n);

/* Signal names: the number of a name given with or without "SIG", and the
 * name ("SIG" and the first name in the table) of a number. */
BASALT_API extern int Nsig;
BASALT_API int str2sig(char *name, int *sig);
BASALT_API int sig2str(int sig, char *buf);

BASALT_END_DECLS

#endif
