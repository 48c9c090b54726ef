/* kitbag: byte-order conversion, network-order wrappers, byte swapping and 24-bit conversions. */
#ifndef KITBAG_BYTEORDER_H
#define KITBAG_BYTEORDER_H

#include "basalt_api.h"

BASALT_BEGIN_DECLS


BASALT_END_DECLS

#endif
