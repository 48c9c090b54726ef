/* kitbag: host identity and file-system information. */
#ifndef KITBAG_HOST_H
#define KITBAG_HOST_H

#include "basalt_api.h"

BASALT_BEGIN_DECLS

BASALT_API int my_hostname(char *buf);

BASALT_END_DECLS

#endif
