// The notice for a routine this platform lacks.
#include "elog.h"
#include "kitbag.h"

extern "C" int UNIMPLEMENTED(char *name, int value) {
    elog_log(0, "%s is unimplemented on this platform", name != nullptr ? name : "");
    return value;
}
