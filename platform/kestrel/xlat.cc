// Names of the request codes.
#include "kestrel.h"

extern "C" {

Xlat Orbxlat[] = {
    {const_cast<char *>("ORBPUT"), ORBPUT},
    {const_cast<char *>("ORBGET"), ORBGET},
    {const_cast<char *>("ORBREAP"), ORBREAP},
    {const_cast<char *>("ORBSTAT"), ORBSTAT},
    {const_cast<char *>("ORBCLIENTS"), ORBCLIENTS},
    {const_cast<char *>("ORBSOURCES"), ORBSOURCES},
    {const_cast<char *>("ORBSEEK"), ORBSEEK},
    {const_cast<char *>("ORBTELL"), ORBTELL},
    {const_cast<char *>("ORBSELECT"), ORBSELECT},
    {const_cast<char *>("ORBREJECT"), ORBREJECT},
    {const_cast<char *>("ORBCLOSE"), ORBCLOSE},
    {const_cast<char *>("ORBAFTER"), ORBAFTER},
    {const_cast<char *>("ORBVERSION"), ORBVERSION},
    {const_cast<char *>("ORBSETPRIO"), ORBSETPRIO},
    {const_cast<char *>("ORBHALT"), ORBHALT},
    {const_cast<char *>("ORBLOGGING"), ORBLOGGING},
    {const_cast<char *>("ORBOPEN"), ORBOPEN},
    {const_cast<char *>("ORBKILL"), ORBKILL},
    {const_cast<char *>("ORBMYTHREAD"), ORBMYTHREAD},
    {const_cast<char *>("ORBRUP"), ORBRUP},
    {const_cast<char *>("ORBPUT2"), ORBPUT2},
    {const_cast<char *>("ORBGET2"), ORBGET2},
    {const_cast<char *>("ORBREAP2"), ORBREAP2},
    {const_cast<char *>("ORBSTASHFLAG"), ORBSTASHFLAG},
    {const_cast<char *>("ORBSTASHOP"), ORBSTASHOP},
    {const_cast<char *>("ORBPUTACK"), ORBPUTACK},
    {const_cast<char *>("ORBPUTACK2"), ORBPUTACK2},
    {const_cast<char *>("ORBCHALLENGE"), ORBCHALLENGE},
    {const_cast<char *>("ORBSIGNEDOPEN"), ORBSIGNEDOPEN},
};

int Orbxlatn = static_cast<int>(sizeof Orbxlat / sizeof Orbxlat[0]);

}  // extern "C"
