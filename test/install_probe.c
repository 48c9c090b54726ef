/* An outside C program using the installed interface. */
#include <stdio.h>
#include <stdlib.h>

#include "basalt.h"
#include "kitbag.h"

int main(int argc, char **argv) {
    Tbl *list = strtbl("a", "b", "c", (char *)0);
    char *joined = jointbl(list, "-");
    printf("probe: %s\n", joined);
    free(joined);
    freetbl(list, 0);
    return 0;
}
