/* An outside C program using the installed interface: it writes a packet
 * through libtorvik into a scratch directory and reads it back, and makes a
 * database from a schema of its own in a second directory, adds a record
 * and reads it back. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "basalt.h"
#include "db.h"
#include "kitbag.h"
#include "torvik.h"

static const char schema_text[] =
    "Schema probe1.0 ;\n"
    "Attribute sta String ( 6 ) Format ( \"%-6s\" ) Null ( \"-\" ) ;\n"
    "Attribute nsamp Integer ( 8 ) Format ( \"%8d\" ) Null ( \"-1\" ) ;\n"
    "Relation site Fields ( sta nsamp ) ;\n";

/* Writes "sta nsamp" of a record added to a new database in dir into out. */
static int database(const char *dir, char *out, size_t size) {
    char schema[4096], name[4096], sta[8];
    int nsamp = 0;
    Dbptr db, site;
    FILE *file;
    snprintf(schema, sizeof schema, "%s/probe1.0", dir);
    snprintf(name, sizeof name, "%s/demo", dir);
    if ((file = fopen(schema, "w")) == NULL) return -1;
    fputs(schema_text, file);
    fclose(file);
    if (dbcreate(name, schema, NULL, NULL, NULL) != 0 || LGdbopen(name, "r+", &db) != 0) return -1;
    site = dblookup(db, NULL, "site", NULL, NULL);
    if (dbaddv(site, NULL, "sta", "AAK", "nsamp", 42, NULL) != 0) return -1;
    site.record = 0;
    if (dbgetv(site, NULL, "sta", sta, "nsamp", &nsamp, NULL) != 0) return -1;
    snprintf(out, size, "%s %d", sta, nsamp);
    return LGdbclose(db);
}

int main(int argc, char **argv) {
    Tbl *list = strtbl("a", "b", "c", (char *)0);
    char *joined = jointbl(list, "-");
    char *packet = 0, srcname[64];
    int pktid, nbytes, bufsize = 0, in, out;
    double time;
    char record[64];

    if (argc < 3) return 2;
    out = torvikopen(argv[1], "b");
    if (out < 0 || torvikput(out, "AA_BBB_HHZ", 1000.5, "hello", 5) != 0 ||
        torvikclose(out) != 0)
        return 1;
    in = torvikopen(argv[1], "r");
    if (in < 0 || torvikget(in, ORBOLDEST, &pktid, srcname, &time, &packet,
                            &nbytes, &bufsize) != 0)
        return 1;
    if (database(argv[2], record, sizeof record) != 0) return 1;
    printf("probe: %s %d %s %.1f %.*s %s\n", joined, pktid, srcname, time, nbytes,
           packet, record);
    torvikclose(in);
    free(packet);
    free(joined);
    freetbl(list, 0);
    return 0;
}
