// Views made at run time: relations whose records hold one database
// pointer per base table, kept in memory; the slots a pointer stands for;
// bundles and their record ranges.
#include <cstdio>

#include "ledgeform_private.h"

namespace ledgeform {

namespace {

bool contains(Tbl *list, const char *s) {
    for (int i = 0; i < maxtbl(list); i++)
        if (std::strcmp(static_cast<char *>(gettbl(list, i)), s) == 0) return true;
    return false;
}

}  // namespace

// A view whose records hold nothing but slots.
bool is_pure_view(const Relation *rel) { return rel->is_view != 0 && !rel->has_fields; }

}  // namespace ledgeform

using namespace ledgeform;

extern "C" {

void addtbl(Tbl *to, Tbl *from) {
    for (int i = 0; i < maxtbl(from); i++) {
        auto *s = static_cast<char *>(gettbl(from, i));
        if (!contains(to, s)) pushtbl(to, LF_STRDUP(s, "key"));
    }
}

Dbptr dbtbl2view(Dbptr db, const char *name, Tbl *tables) {
    db.table = db.field = db.record = dbALL;
    Dbptr result = db;
    Resolved r;
    if (resolve(db, &r) != RESOLVED_DATABASE) {
        elog_log(0, "can't create view without specifying database.\n");
        result.table = dbINVALID;
        return result;
    }
    Schema *schema = r.database->schema;
    char generated[32];
    if (name == nullptr || *name == '\0') {
        std::snprintf(generated, sizeof generated, "View%d", schema->nrelations);
        name = generated;
    }
    if (relation_named(schema, name) != nullptr) {
        // It would hide the table (or view) of that name, and saving it
        // would write over that table's file.
        elog_log(0, "Can't create view %s: the database already has a table of that name\n", name);
        return dbinvalid();
    }
    // Every table is found before the view is added, so that a bad name
    // leaves no relation behind. (Finding a saved view by name may read it
    // as a view of its own.)
    int ntables = tables != nullptr ? maxtbl(tables) : 0;
    Owned<Relation *> named(static_cast<Relation **>(LF_CALLOC(sizeof(Relation *) * (ntables + 1), "view")));
    int largest = 10;
    for (int i = 0; i < ntables; i++) {
        auto *tname = static_cast<char *>(gettbl(tables, i));
        Dbptr t = dblookup(db, nullptr, tname, nullptr, nullptr);
        Resolved tr;
        if (t.table < 0 || resolve(make_dbptr(t.database, t.table, dbALL, dbALL), &tr) != RESOLVED_TABLE) {
            elog_log(0, "Invalid table name in dbtbl2view: '%s'\n", tname);
            return dbinvalid();
        }
        named.get()[i] = tr.relation;
        if (tr.table != nullptr && tr.table->count > largest) largest = tr.table->count;
    }
    Relation *view = new_relation();
    view->is_view = 1;
    view->name = LF_STRDUP(name, "relation");
    view->transient = 1;
    view->primary = newtbl(0);
    view->alternate = newtbl(0);
    view->foreign = newtbl(0);
    for (int i = 0; i < ntables; i++)
        pushtbl(view->fieldlist, LF_STRDUP(static_cast<char *>(gettbl(tables, i)), "f"));
    if (dbadd_relation(schema, view) != 0) return dbinvalid();
    for (int i = 0; i < ntables; i++) {
        Relation *base = named.get()[i];
        addtbl(view->primary, base->primary);
        addtbl(view->alternate, base->alternate);
        addtbl(view->foreign, base->foreign);
    }
    view->is_view = largest;
    return make_dbptr(db.database, view->id, dbALL, dbALL);
}

Dbptr *dbref(Dbptr *db) {
    db->field = dbALL;
    Resolved r;
    int level = resolve(*db, &r);
    if ((level == RESOLVED_RECORD || level == RESOLVED_TABLE) && is_pure_view(r.relation) &&
        r.data != nullptr)
        return reinterpret_cast<Dbptr *>(r.data);
    return db;
}

int dbsize(Dbptr db) {
    Resolved r;
    if (resolve_table(db, &r) == RESOLVED_TABLE && is_pure_view(r.relation)) return r.relation->nbases;
    return 1;
}

void dbget_range(Dbptr bundle, int *first, int *last) {
    if (bundle.record == dbSCRATCH || bundle.record == dbNULL) {
        *first = bundle.record;
        *last = bundle.record + 1;
    } else if (bundle.record == dbALL || bundle.field < 0) {
        Dbptr table = bundle;
        table.field = table.record = dbALL;
        int count = 0;
        if (dbquery(table, QUERY_RECORD_COUNT, &count) < 0) count = 0;
        *first = 0;
        *last = count;
    } else {
        *first = bundle.record;
        *last = bundle.field;
    }
}

}  // extern "C"
