/* libbasalt: the utility library. This header declares all of it. */
#ifndef BASALT_H
#define BASALT_H

#include "basalt_api.h"
#include "sort.h"
#include "tbl.h"
#include "arrays.h"
#include "elog.h"
#include "strtools.h"
#include "pathtools.h"
#include "filetests.h"
#include "installroot.h"
#include "mapfile.h"
#include "listfile.h"
#include "fdio.h"
#include "dumps.h"
#include "hooks.h"
#include "values.h"
#include "randomfill.h"
#include "bns.h"
#include "pf.h"
#include "basalttime.h"
#include "bury.h"
#include "signing.h"
#include "tripflags.h"
#include "commands.h"
#include "terminal.h"
#include "crc.h"
#include "digests.h"
#include "codecs.h"
#include "xheap.h"

#endif
