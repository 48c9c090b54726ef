/* An outside C program using the installed interface: it writes a packet
 * through libtorvik into a scratch directory and reads it back. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "basalt.h"
#include "kitbag.h"
#include "torvik.h"

int main(int argc, char **argv) {
    Tbl *list = strtbl("a", "b", "c", (char *)0);
    char *joined = jointbl(list, "-");
    char *packet = 0, srcname[64];
    int pktid, nbytes, bufsize = 0, in, out;
    double time, converted;
    char unit[64];

    if (argc < 2) return 2;
    out = torvikopen(argv[1], "b");
    if (out < 0 || torvikput(out, "AA_BBB_HHZ", 1000.5, "hello", 5) != 0 ||
        torvikclose(out) != 0)
        return 1;
    in = torvikopen(argv[1], "r");
    if (in < 0 || torvikget(in, ORBOLDEST, &pktid, srcname, &time, &packet,
                            &nbytes, &bufsize) != 0)
        return 1;
    /* The installed units table is found below the installation root. */
    if (units_convert(5, "kilometers", "m", &converted, unit) != 0) return 1;
    printf("probe: %s %d %s %.1f %.*s %g%s\n", joined, pktid, srcname, time, nbytes,
           packet, converted, unit);
    torvikclose(in);
    free(packet);
    free(joined);
    freetbl(list, 0);
    return 0;
}
