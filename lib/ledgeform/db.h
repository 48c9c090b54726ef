/* Ledgeform: the relational flat-file database library. This header
 * declares all of it.
 *
 * A database is a descriptor file (or just a base name), a schema that
 * describes its attributes and relations, and one table file per relation:
 * fixed-width text records, read through a shared memory mapping and
 * written by appending. Callers name what they work on with a Dbptr
 * {database, table, field, record}; the catalogue records behind it belong
 * to the library.
 *
 * Failures are logged through the error log and reported as dbINVALID
 * (-102), or as a Dbptr whose four members are -102 (dbinvalid()).
 *
 * Threads: the schema compiler, the expression compiler, the expression
 * evaluator (dbex_eval) and the registry of open databases guard
 * themselves; everything else about one database (its catalogue, tables,
 * views and records) belongs to one thread at a time. Between processes, appends,
 * deletes, compaction and truncation take the table lock of the database's
 * lock mode.
 *
 * The library is static: a program links it whole and exports it, so that
 * the libraries it loads find it.
 */
#ifndef LEDGEFORM_DB_H
#define LEDGEFORM_DB_H

#include <regex.h>
#include <stdint.h>
#include <stdio.h>

#include "basalt.h"

BASALT_BEGIN_DECLS

/* ---- Database pointers ---- */

typedef struct Dbptr {
    int32_t database; /* slot in the registry of open databases */
    int32_t table;    /* relation id in the database's schema */
    int32_t field;    /* field id in the relation */
    int32_t record;   /* record number */
} Dbptr;

/* Special member values. */
#define dbALL (-501)
#define dbSCRATCH (-504)
#define dbNULL (-505)
#define dbINVALID (-102)

/* What a pointer resolves to (dbresolve). */
#define RESOLVED_DATABASE (-401)
#define RESOLVED_TABLE (-403)
#define RESOLVED_FIELD (-404)
#define RESOLVED_RECORD (-405)

/* Value and field types. The binary schema types 138 Bfloat, 139 Bdouble,
 * 140 Bshort, 141 Bint and 142 (a database pointer) hold raw host-order
 * bytes in the record; 136 and 137 are reserved. */
#define dbBOOLEAN 1
#define dbINTEGER 2
#define dbREAL 3
#define dbTIME 4
#define dbYEARDAY 5
#define dbSTRING 6

/* ---- Catalogue records ---- */

typedef struct Schema Schema;
typedef struct Relation Relation;
typedef struct Expression Expression;

typedef struct Database {
    char *dbname;      /* path given to LGdbopen */
    int32_t id;        /* slot in Databases_tbl */
    char *schema_name; /* ":"-separated schema names */
    Schema *schema;    /* the compiled schema (owned) */
    char *dbpath;      /* table search path, environment references expanded */
    char *abspath;     /* absolute, cleaned form of dbname */
    char *dir;         /* directory part of abspath */
    char *openperm;    /* "r" or "r+" */
    int32_t dblocks;   /* -1 local, -2 nfs (lock files), 0 none */
    char *dbidserver;  /* id server host[:port], or null */
    char *description;
    char *detail;
    Arr *lastids;      /* id name to the largest id found in use */
    Tbl *tables;       /* Table by table id; null until opened */
    Arr *tablefiles;   /* table name to file path, or null until asked */
} Database;

struct Schema {
    char *name;
    char *schemas;     /* the ":"-list of schema names loaded */
    char *extdir;      /* extension directory, or null */
    char *description;
    char *detail;
    char *timedate;    /* name of the Timedate attribute, or null */
    int32_t nrelations;
    int32_t nattributes;
    Arr *attributes;       /* name to Attribute */
    Tbl *attribute_names;  /* in definition order */
    Arr *defines;          /* attribute name to the defining relation's name */
    Arr *relation_index;   /* name to Relation */
    Tbl *relations;        /* Relation by id; null once closed */
    Tbl *relation_names;   /* by id; db_nullstr once closed */
    Tbl *table_names;      /* relation names and extension files, or null */
};

typedef struct Attribute {
    char *name;
    int32_t id;        /* definition order; -1 until added */
    int32_t size;      /* text width (bytes for the binary types) */
    int32_t type;      /* -1 until set */
    int32_t added;     /* 1 when compiled from text by dbcompile */
    char *null;        /* null value text, or null */
    char *format;      /* printf format of the text form, or null */
    char *range;
    char *units;
    char *description;
    char *detail;
    char *defined_by;  /* relation whose Defines names it (not owned) */
    Tbl *relations;    /* names of the relations holding it (not owned) */
} Attribute;

typedef struct Relref {
    Relation *relation; /* the base relation (not owned) */
    int32_t first;      /* field ids assigned before the slot's fields */
    int32_t kind;       /* 2 a view component, 3 the relation itself */
    int32_t offset;     /* byte offset of the slot's pointer in the record */
} Relref;

typedef struct Field {
    int32_t id;        /* field id in the relation holding the data */
    int32_t offset;    /* byte offset in this relation's record */
    int32_t table;     /* id of the relation whose table holds the data */
    int32_t is_dbptr;  /* 1 for the pointer of a base-table slot */
    void *attribute;   /* its Attribute; the base Relation for a slot */
} Field;

struct Relation {
    char *name;
    int32_t id;
    char separator;    /* written after every field but the last; 0 none */
    char terminator;   /* ends every record; 0 none */
    int32_t size;      /* record size in bytes */
    int32_t added;
    char *null;        /* the null record, built on first use */
    char *like;        /* model of a Like declaration (not owned) */
    int32_t transient; /* 1: the table lives in memory */
    int32_t is_view;
    int32_t has_fields;
    int32_t ndata;     /* data fields */
    int32_t nfields;   /* ndata + nbases */
    Arr *field_index;  /* name to Field */
    Tbl *fields;       /* Field by field id */
    Tbl *field_names;  /* data field names by id (not owned) */
    Tbl *fieldlist;    /* the Fields clause as written */
    int32_t nbases;
    Tbl *base_names;   /* base tables of the view components (not owned) */
    Tbl *relrefs;      /* Relref by slot */
    Tbl *primary;
    Tbl *alternate;
    Tbl *foreign;
    char *defines;
    char *description;
    char *detail;
};

typedef struct Table {
    char *name;        /* the relation's name (not owned) */
    int32_t id;
    Relation *relation;
    Arr *indexes;      /* index name to Dbindex */
    int32_t count;     /* records */
    char *path;        /* table file */
    char *dir;         /* its directory */
    int32_t fd;        /* -1 when closed */
    int32_t size;      /* bytes of record data */
    int32_t allocated; /* bytes allocated for an in-memory table */
    char *data;
    char *lockname;    /* lock file, or null */
    int32_t lockfd;    /* -1 when none */
    int32_t writable;
    char *scratch;     /* the scratch record, built on first use */
    /* The library's own bookkeeping. */
    int32_t lockdepth; /* table locks held by this process (nested) */
    int32_t mapsize;   /* length of the mapping at data (>= size) */
    int32_t mapprot;   /* protection the mapping was made with */
} Table;

/* ---- Keys and indexes ---- */

typedef struct Jig {
    Dbptr db;          /* the table the jig was made for */
    Tbl *keys;         /* copies of the key texts */
    Tbl *components;   /* Key_component */
    Tbl *elements;     /* Key_element */
    int32_t size;      /* bytes of one key image */
    int32_t envelope;  /* 1 when some key is a range */
} Jig;

typedef struct Key_component {
    int32_t field;     /* field position, -1 for an expression */
    int32_t type;
    int32_t offset;    /* in the key image */
    int32_t size;
    Expression *expr;  /* compiled expression key, or null */
    int32_t is_end;    /* 1 for the end of a range */
} Key_component;

typedef struct Key_element {
    int32_t kind;      /* 2 integer, 3 real, 6 string, -998, -999 ranges */
    int32_t offset;
    int32_t size;
} Key_element;

typedef struct Dbindex {
    Jig *search_jig;   /* layout of the key being searched for */
    Jig *jig;          /* the index's own layout */
    Tbl *entries;      /* sorted key images */
    int32_t nrecords;  /* records covered */
    int32_t unique;
    char *name;
    char *path;        /* index file read, or null */
} Dbindex;

/* ---- Keys and indexes (functions) ----
 * A key list holds field names, ranges "start::end" of two fields and
 * expressions. dbmake_jig compiles one into a jig, stored through its
 * out-argument even on failure (the caller frees it with dbfree_jig).
 * dbget_index answers 0 for a cached or built index, 1 for one read from
 * an index file, -102 on failure; the index stays its table's. Lists of
 * record numbers hold the numbers as pointer-sized integers. */

BASALT_API int dbis_expression(char *key);
BASALT_API int dbmake_jig(Dbptr table, Tbl *keys, Jig **jig);
BASALT_API void dbmake_key(Dbptr record, Jig *jig, char *key);
BASALT_API void dbshow_key(Jig *jig, char *key);
BASALT_API int dbcmp_sort(char *a, char *b, Dbindex *index);
BASALT_API int dbcmp_envelope(char *previous, char *entry, Dbindex *index);
BASALT_API int dbcmp_search(char *key, char *entry, Dbindex *index);
BASALT_API int dbcmp(char *key, char *entry, Jig *jigs[2]);
BASALT_API int dbget_index(Dbptr table, Tbl *keys, Dbindex **index);
BASALT_API int dbindex_name(Dbptr table, Tbl *keys, char *name);
BASALT_API Dbindex *dbread_index(Dbptr table, Table *t, char *path);
BASALT_API Dbindex *dbcreate_index(Dbptr table, Tbl *keys, char *name);
BASALT_API int dbsearch(Dbptr record, Jig *jig, Dbindex *index, int unique,
                        int *first, int *last);
BASALT_API int dbrecord(Dbindex *index, int i);
BASALT_API char *dbkey(Dbindex *index, int i);
BASALT_API int dbfix_envelope(Dbindex *index);
BASALT_API void add2index(char *name, Dbindex *index, Dbptr *record);
BASALT_API int dbadd2index(Dbptr record, Dbindex *index);
BASALT_API int dbupdate_index(Dbindex *index);
BASALT_API int delindex(char *name, Dbindex *index, Dbptr *record);
BASALT_API void index_delete(char *name, Dbindex *index, Dbptr *record);
BASALT_API int dbflush_an_index(char *name, Dbindex *index, Arr *indexes);
BASALT_API int dbflush_indexes(Dbptr table);
BASALT_API int dbfind_join_keys(Dbptr table1, Dbptr table2, Tbl **keys1,
                                Tbl **keys2);
BASALT_API int match_keys(Tbl *a, int na, Tbl *b, int nb, Tbl *out_a,
                          Tbl *out_b);
BASALT_API char *equiv_field(char *name);

/* ---- Sorting, selection, joining and grouping ----
 * The operators returning a Dbptr make a new view (or group table) that
 * the caller discards with dbfree, and answer dbinvalid() on failure. */

BASALT_API Dbptr dbsort(Dbptr db, Tbl *keys, int flags, const char *name);
BASALT_API int dbsort_in_place(Dbptr db, Tbl *keys);
BASALT_API Dbptr dbsubset(Dbptr db, const char *expr, const char *name);
BASALT_API Dbptr dbjoin(Dbptr t1, Dbptr t2, Tbl **keys1, Tbl **keys2,
                        int outer, Tbl **unmatched, const char *name);
BASALT_API int dbmatches(Dbptr record, Dbptr t2, Tbl **keys1, Tbl **keys2,
                         Hook **hook, Tbl **list);
BASALT_API void free_MatchesHook(void *state);
BASALT_API Dbptr dbgroup(Dbptr db, Tbl *keys, const char *name, int type);
BASALT_API Dbptr dbmkgroup_relation(Dbptr db, Tbl *keys, const char *name);
BASALT_API int dbadd_bundle(Dbptr db);

/* ---- Shared values and the registry ---- */

BASALT_API extern char *db_nullstr;   /* the shared empty string */
BASALT_API extern Tbl *_db_nulltbl;   /* the shared empty list */
BASALT_API extern Tbl *Databases_tbl; /* Database by id; null once closed */
BASALT_API extern int Ndatabases;     /* slots of Databases_tbl */
BASALT_API extern Arr *Databases_root; /* path to Database */
BASALT_API extern char *Default_schema;
BASALT_API extern char *Default_dbpath;

/* ---- Open and close ---- */

BASALT_API int LGdbopen(const char *path, const char *mode, Dbptr *result);
BASALT_API int LGdbclose(Dbptr db);
BASALT_API int dbfree(Dbptr db);
BASALT_API int dbcreate(const char *path, const char *schema,
                        const char *dbpath, const char *description,
                        const char *detail);
BASALT_API Dbptr dbtmp(const char *schema);
BASALT_API int dbread_descriptor(Database *database, const char *path);
BASALT_API void dbset_locks_from_env(Database *database);
BASALT_API void dbset_idserver_from_env(Database *database);

BASALT_API Database *new_database(void);
BASALT_API Schema *new_schema(void);
BASALT_API Attribute *new_attribute(void);
BASALT_API Relation *new_relation(void);
BASALT_API Field *new_field(void);
BASALT_API Table *new_table(void);
BASALT_API int dbfree_database(Database *database);
BASALT_API void dbfree_schema(Schema *schema);
BASALT_API void dbfree_attribute(Attribute *attribute);
BASALT_API void dbfree_relation(Relation *relation);
BASALT_API void dbfree_field(Field *field);
BASALT_API int dbfree_table(Table *table);
BASALT_API void dbfree_index(Dbindex *index);
BASALT_API void dbfree_jig(Jig *jig);

/* ---- Resolve, lookup and query ---- */

BASALT_API int dbresolve(Dbptr db, Database **database, Relation **relation,
                         Table **table, Field **field, char **data,
                         int *size);
BASALT_API Dbptr dblookup(Dbptr start, const char *database,
                          const char *table, const char *field,
                          const char *record);
BASALT_API int dbquery(Dbptr db, int code, void *value);
BASALT_API Dbptr dbinvalid(void);
BASALT_API int dbfield_type(Dbptr db, const char *name);
BASALT_API Tbl *dbtables(Dbptr db, const char *name);
/* dbtables with its arguments by address and the name as a blank-padded
 * buffer of length bytes; the lent list reaches the caller as a handle of
 * the binding handle table (fortran.h). */
BASALT_API void dbtables_(int *result, Dbptr *db, char *name, size_t length);

/* dbquery codes. Each answers into the type its comment names: an int, a
 * char * (lent), a Tbl * or Arr * (lent), or the address of the data. */
#define QUERY_NULL_VALUE (-505)          /* char * */
#define QUERY_TERMINATOR (-367)          /* int */
#define QUERY_SEPARATOR (-366)           /* int */
#define QUERY_TABLE_FILES (-365)         /* Arr * */
#define QUERY_TABLE_LOCKABLE (-364)      /* int */
#define QUERY_DATABASE_SCHEMA (-363)     /* char * */
#define QUERY_LOCK_MODE (-362)           /* char * */
#define QUERY_ID_SERVER (-361)           /* char * */
#define QUERY_LAST_IDS (-360)            /* Arr * */
#define QUERY_DATABASE_WRITABLE (-359)   /* int */
#define QUERY_TABLE_NAMES (-358)         /* Tbl * */
#define QUERY_DATABASE_PATH (-357)       /* char * */
#define QUERY_TIMEDATE (-356)            /* char * */
#define QUERY_TRANSIENT (-355)           /* int */
#define QUERY_FIELD_TABLE (-354)         /* char * */
#define QUERY_IS_VIEW (-353)             /* int */
#define QUERY_TABLE_WRITABLE (-352)      /* int */
#define QUERY_ATTRIBUTE_NAMES (-351)     /* Tbl * */
#define QUERY_DEFINES_INDEX (-350)       /* Arr * */
#define QUERY_VIEW_TABLES (-349)         /* Tbl * */
#define QUERY_ATTRIBUTE_RELATIONS (-348) /* Tbl * */
#define QUERY_FIELD_NAMES (-347)         /* Tbl * */
#define QUERY_TABLE_DATA (-346)          /* char * */
#define QUERY_FIELD_OFFSET (-345)        /* int */
#define QUERY_FORMAT (-344)              /* char * */
#define QUERY_RECORD_SIZE (-343)         /* int */
#define QUERY_BASE_COUNT (-342)          /* int */
#define QUERY_RANGE (-341)               /* char * */
#define QUERY_SCHEMA_DEFAULT (-338)      /* char * */
#define QUERY_DEFINES (-336)             /* char * */
#define QUERY_FOREIGN_KEYS (-334)        /* Tbl * */
#define QUERY_ALTERNATE_KEY (-333)       /* Tbl * */
#define QUERY_PRIMARY_KEY (-332)         /* Tbl * */
#define QUERY_TABLE_DIR (-331)           /* char * */
#define QUERY_DBPATH (-330)              /* char * */
#define QUERY_TABLE_PATH (-329)          /* char * */
#define QUERY_FIELD_TYPE (-328)          /* int */
#define QUERY_UNITS (-327)               /* char * */
#define QUERY_FIELD_FORMAT (-326)        /* char * */
#define QUERY_TYPE (-325)       /* int at a field; char * at a database */
#define QUERY_FIELD_SIZE (-324)          /* int */
#define QUERY_TABLE_SIZE (-323)          /* int */
#define QUERY_SIZE (-322)                /* int */
#define QUERY_HAS_RECORDS (-321)         /* int */
#define QUERY_FIELD_NAME (-320)          /* char * */
#define QUERY_TABLE_NAME (-319)          /* char * */
#define QUERY_DATABASE_NAME (-318)       /* char * */
#define QUERY_SCHEMA_NAME (-317)         /* char * */
#define QUERY_NAME (-316)                /* char * */
#define QUERY_FIELD_DETAIL (-315)        /* char * */
#define QUERY_TABLE_DETAIL (-314)        /* char * */
#define QUERY_DATABASE_DETAIL (-313)     /* char * */
#define QUERY_SCHEMA_DETAIL (-312)       /* char * */
#define QUERY_DETAIL (-311)              /* char * */
#define QUERY_FIELD_DESCRIPTION (-310)   /* char * */
#define QUERY_TABLE_DESCRIPTION (-309)   /* char * */
#define QUERY_DATABASE_DESCRIPTION (-308) /* char * */
#define QUERY_SCHEMA_DESCRIPTION (-307)  /* char * */
#define QUERY_DESCRIPTION (-306)         /* char * */
#define QUERY_RECORD_COUNT (-305)        /* int */
#define QUERY_FIELD_COUNT (-304)         /* int */
#define QUERY_TABLE_COUNT (-303)         /* int */
#define QUERY_DATABASE_COUNT (-302)      /* int */
#define QUERY_COUNT (-301)               /* int */

/* ---- Schemas ----
 * Paths written into a caller's result buffer are at most 4095
 * characters: the buffer holds 4096 bytes. */

BASALT_API Schema *open_schema(const char *names, const char *dbpath);
BASALT_API int compile_schema(Schema *schema, int fd, const char *text,
                              const char *dbpath, const char *label);
BASALT_API int dbadd_schema(Dbptr db, const char *file);
BASALT_API int add_extension(Dbptr db, Schema *schema, const char *table);
BASALT_API int dbcompile(Dbptr db, const char *text);
BASALT_API int find_schemafile(char *result, const char *name,
                               const char *dbpath);
BASALT_API int dbadd_attribute(Schema *schema, Attribute *attribute);
BASALT_API int dbadd_relation(Schema *schema, Relation *relation);
BASALT_API int dbadd_like_relation(Schema *schema, Relation *relation,
                                   const char *model);
/* The scanner, parser and error reporter of a compile; compile_schema
 * calls them under the compiler's lock, and they mean nothing outside. */
BASALT_API int DB_lex(void);
BASALT_API int DB_parse(void);
BASALT_API void DB_error(const char *message);

/* ---- Table files ---- */

BASALT_API int find_path(const char *dbname, const char *table,
                         const char *dbpath, char *result);
BASALT_API int dbtablepath(const char *dbname, const char *table,
                           const char *dbpath, char *result);
BASALT_API Tbl *dbtblpaths(const char *dbname, const char *table,
                           const char *dbpath);
BASALT_API Arr *dbtablefiles(Dbptr db);
BASALT_API int map_table(Database *database, Relation *relation,
                         int for_write);
BASALT_API int _dblock(Database *database, Table *table);
BASALT_API int _dbunlock(Database *database, Table *table);
BASALT_API char *dblockname(const char *path);
BASALT_API int dbfilename(Dbptr record, char *result);
BASALT_API int dbextfile(Dbptr record, const char *base, char *result);

/* ---- Records ---- */

BASALT_API int dbadd(Dbptr db, const char *record);
BASALT_API int dbaddnull(Dbptr db);
/* dbaddv, dbputv: pairs of field name and value ended by a null name;
 * a value is a char * (strings), an int (integers, year-days, Bshort,
 * Bint), a double (reals, times, Bfloat, Bdouble) or a Dbptr. dbgetv:
 * pairs of field name and address (a buffer of the width plus one, an
 * int *, a double * or a Dbptr *). */
BASALT_API int dbaddv(Dbptr db, const char *table, ...);
BASALT_API int dbaddchk(Dbptr db, const char *record);
BASALT_API int dbget(Dbptr db, char *buffer);
BASALT_API int dbgetv(Dbptr db, const char *table, ...);
BASALT_API int dbput(Dbptr db, const char *text);
BASALT_API int dbputx(Dbptr db, void *value);
BASALT_API int dbputv(Dbptr db, const char *table, ...);
BASALT_API int dbdelete(Dbptr db);
BASALT_API int dbmark(Dbptr db);
BASALT_API int dbcrunch(Dbptr db);
BASALT_API int dbtruncate(Dbptr db, int n);
BASALT_API int dbdestroy(Dbptr db);
BASALT_API void new_scratch(Dbptr db, Table *table);
BASALT_API int new_null(Dbptr db);

BASALT_API int dbc2d(void *value, char *stored, int width, const char *format,
                     int type);
BASALT_API int dbd2c(const char *stored, int width, void *value, int type);
BASALT_API int dbc2p(void *value, char *text, int width, const char *format,
                     int type);
BASALT_API int dbp2c(const char *text, int width, void *value, int type);

/* ---- Views, view files and bundles ----
 * A view is a relation made at run time whose records hold one database
 * pointer per base table (16 bytes each, host order), kept in memory. A
 * bundle is a pointer naming a run of records: record dbSCRATCH or dbNULL
 * that one record, record dbALL or a negative field the whole table,
 * otherwise the records from `record` up to `field` (exclusive).
 *
 * A view file is the text header "#View <name>", "#Database <path> <id>",
 * one "#Table <name> <id>" per base table and "#", then the records. */

BASALT_API Dbptr dbtbl2view(Dbptr db, const char *name, Tbl *tables);
BASALT_API Dbptr *dbref(Dbptr *db);
BASALT_API int dbsize(Dbptr db);
BASALT_API int dbwrite_view(Dbptr db, FILE *file);
BASALT_API int dbread_view(FILE *file, Dbptr *result, const char *name);
BASALT_API int dbsave_view(Dbptr view);
BASALT_API void dbget_range(Dbptr bundle, int *first, int *last);
BASALT_API void addtbl(Tbl *to, Tbl *from);

/* ---- Ids ----
 * dbnextid: the next id of an id name (positive), from the database's id
 * server or its "lastid" table, or -1. dbidrequest asks the id server
 * "host[:port]" (port 2499 by default) and ends the process when no server
 * answers. */

BASALT_API int dbnextid(Dbptr db, const char *name);
BASALT_API int dbidrequest(const char *name, const char *server);

/* ---- Expressions ----
 * An expression over the fields of one record compiles into a typed tree
 * of Expression nodes. Value types are dbBOOLEAN .. dbSTRING and 7, a
 * compiled regular expression; 0 is a node that has no valid type. */

typedef union Exvalue {
    double d;
    int32_t i;
    int32_t pipe[2];
    char *s;
    void *p;
    regex_t *regexp;
    int32_t (*fi)(void);
    double (*fd)(void);
    char *(*fs)(void);
} Exvalue;

struct Expression {
    Expression *left;
    Expression *right;
    Expression *x3;
    Expression *x4;
    Tbl *expr_tbl;     /* arguments of a function, command or pipe */
    int32_t type;
    int32_t kind;
    Exvalue value;
};

/* Compiles expr for the table (or view) of db: the tree in *tree (the
 * caller frees it with dbex_free) and the expression's own type, or -102
 * with *tree null. A type other than 0 converts the tree to it. */
BASALT_API int dbex_compile(Dbptr db, const char *expr, Expression **tree, int type);
BASALT_API Expression *exnew(int type, int kind, int value);
BASALT_API Expression *ex_to_type(Expression *node, int type);
BASALT_API int eqfunct(const char *name);
BASALT_API int dbex_free(Expression *tree);
/* Print a tree (postfix) or one node on the standard output. */
BASALT_API void exshow_expression(Expression *tree, int showtypes);
BASALT_API void exshow_value(Exvalue *value, int kind, int type);
BASALT_API void exshow_type(int type);
BASALT_API void exshow_immediate(Exvalue *value, int type);

/* Evaluates a tree for the record db; a nonzero flag lets assignments
 * write their fields. The value goes through result as an int (dbBOOLEAN,
 * dbINTEGER, dbYEARDAY), a double (dbREAL, dbTIME) or a new string the
 * caller frees (dbSTRING). Returns 1 true, 0 false, or -102 when the
 * evaluation failed (a failure value is stored) or the tree has no value
 * (nothing is stored). dbex_eval serialises evaluations; _dbex_eval does
 * not. */
BASALT_API int dbex_eval(Dbptr db, Expression *tree, int flag, void *result);
BASALT_API int _dbex_eval(Dbptr db, Expression *tree, int flag, void *result);
BASALT_API char *dbtypename(int type);
BASALT_API void badconvert(int from, int to);

BASALT_END_DECLS

#endif
