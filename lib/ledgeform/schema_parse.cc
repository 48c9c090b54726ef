// The parser of the schema language and the compile entry point.
//
//   schema text: statement...
//   "Schema" NAME [Description (NAME) | Detail NAME | Timedate NAME]... ;
//   "Attribute" NAME item... ;
//   "Relation" NAME item... ;
//
// After a syntax error the input up to the next ";" is discarded and the
// next statement is read.
#include <climits>

#include "ledgeform_private.h"
#include "schema_compile_private.h"

using namespace ledgeform;
using namespace ledgeform::compile;

namespace {

// The parser's own state; only touched under the compile lock.
int lookahead = kEnd;
char *pending_like = nullptr;

void advance() { lookahead = DB_lex(); }

bool expect(int token) {
    if (lookahead != token) return false;
    advance();
    return true;
}

// Takes a NAME token: a copy of its text in *out.
bool take_name(char **out) {
    if (lookahead != kName) return false;
    *out = LF_STRDUP(state.text ? state.text : "", "name");
    advance();
    return true;
}

// "(" NAME ")"
bool take_parenthesised(char **out) {
    if (!expect('(')) return false;
    char *name = nullptr;
    if (!take_name(&name)) return false;
    if (!expect(')')) {
        std::free(name);
        return false;
    }
    *out = name;
    return true;
}

void set_text(char **slot, char *value) {
    free_text(*slot);
    *slot = value;
}

void set_compiling(StatementKind kind, const char *name) {
    state.kind = kind;
    std::snprintf(state.compiling, sizeof state.compiling, "%s", name);
}

bool schema_statement() {
    advance();
    char *name = nullptr;
    if (!take_name(&name)) return false;
    set_compiling(StatementKind::kSchema, name);
    set_text(&state.schema->name, name);
    for (;;) {
        char *value = nullptr;
        if (lookahead == kDescription) {
            advance();
            if (!take_parenthesised(&value)) return false;
            set_text(&state.schema->description, value);
        } else if (lookahead == kDetail) {
            advance();
            if (!take_name(&value)) return false;
            set_text(&state.schema->detail, value);
        } else if (lookahead == kTimedate) {
            advance();
            if (!take_name(&value)) return false;
            set_text(&state.schema->timedate, value);
        } else {
            break;
        }
    }
    return expect(';');
}

int type_of_keyword(int token) {
    switch (token) {
        case kInteger: return dbINTEGER;
        case kReal: return dbREAL;
        case kTime: return dbTIME;
        case kYearDay: return dbYEARDAY;
        case kString: return dbSTRING;
        case kBfloatWord: return ledgeform::kBfloat;
        case kBdoubleWord: return ledgeform::kBdouble;
        case kBshortWord: return ledgeform::kBshort;
        case kBintWord: return ledgeform::kBint;
        case kDbptrWord: return ledgeform::kDbptrType;
        default: return 0;
    }
}

// One item of an attribute statement; false on a syntax error.
bool attribute_item(Attribute *a) {
    if (int type = type_of_keyword(lookahead)) {
        advance();
        if (!expect('(') || lookahead != kNumber) return false;
        long size = state.number;
        advance();
        if (!expect(')')) return false;
        a->type = type;
        a->size = static_cast<int>(size);
        return true;
    }
    char *value = nullptr;
    switch (lookahead) {
        case kUnits:
            advance();
            if (!take_parenthesised(&value)) return false;
            set_text(&a->units, value);
            return true;
        case kNull:
            advance();
            if (!take_parenthesised(&value)) return false;
            set_text(&a->null, value);
            return true;
        case kFormat:
            advance();
            if (!take_parenthesised(&value)) return false;
            set_text(&a->format, value);
            return true;
        case kRange:
            advance();
            if (!take_parenthesised(&value)) return false;
            set_text(&a->range, value);
            return true;
        case kDescription:
            advance();
            if (!take_parenthesised(&value)) return false;
            set_text(&a->description, value);
            return true;
        case kDetail:
            advance();
            if (!take_name(&value)) return false;
            set_text(&a->detail, value);
            return true;
        default:
            return false;
    }
}

bool attribute_statement() {
    advance();
    char *name = nullptr;
    if (!take_name(&name)) return false;
    set_compiling(StatementKind::kAttribute, name);
    Attribute *a = new_attribute();
    a->name = name;
    a->added = state.added;
    int items = 0;
    while (lookahead != ';' && lookahead != kEnd) {
        if (!attribute_item(a)) {
            dbfree_attribute(a);
            return false;
        }
        items++;
    }
    if (items == 0 || lookahead != ';') {
        dbfree_attribute(a);
        return false;
    }
    if (dbadd_attribute(state.schema, a) != 0) DB_error("bad attribute");
    // A failed or repeated definition is not the schema's.
    if (getarr(state.schema->attributes, a->name) != a) dbfree_attribute(a);
    advance();
    return true;
}

// "(" NAME... ")" into a new list of copies.
bool take_list(Tbl **out) {
    if (!expect('(')) return false;
    Tbl *list = newtbl(0);
    while (lookahead == kName) {
        pushtbl(list, LF_STRDUP(state.text ? state.text : "", "name"));
        advance();
    }
    if (!expect(')')) {
        freetbl(list, std::free);
        return false;
    }
    *out = list;
    return true;
}

void set_list(Tbl **slot, Tbl *list) {
    if (*slot != nullptr && *slot != _db_nulltbl) freetbl(*slot, std::free);
    *slot = list;
}

bool relation_item(Relation *r) {
    Tbl *list = nullptr;
    char *value = nullptr;
    switch (lookahead) {
        case kFields:
        case kPrimary:
        case kAlternate:
        case kForeign: {
            int which = lookahead;
            advance();
            if (!take_list(&list)) return false;
            set_list(which == kFields    ? &r->fieldlist
                     : which == kPrimary ? &r->primary
                     : which == kAlternate ? &r->alternate
                                           : &r->foreign,
                     list);
            return true;
        }
        case kSeparator: {
            advance();
            if (!expect('(')) return false;
            char *first = nullptr, *second = nullptr;
            if (!take_name(&first)) return false;
            if (lookahead == kName && !take_name(&second)) return false;
            bool closed = expect(')');
            if (closed) {
                r->separator = first[0];
                if (second != nullptr) r->terminator = second[0];
            }
            std::free(first);
            std::free(second);
            return closed;
        }
        case kDefines:
            advance();
            if (!take_name(&value)) return false;
            set_text(&r->defines, value);
            return true;
        case kTransient:
            advance();
            r->transient = 1;
            return true;
        case kDescription:
            advance();
            if (!take_parenthesised(&value)) return false;
            set_text(&r->description, value);
            return true;
        case kDetail:
            advance();
            if (!take_name(&value)) return false;
            set_text(&r->detail, value);
            return true;
        case kLike:
            advance();
            if (!take_name(&value)) return false;
            std::free(pending_like);
            pending_like = value;
            return true;
        default:
            return false;
    }
}

bool relation_statement() {
    advance();
    char *name = nullptr;
    if (!take_name(&name)) return false;
    set_compiling(StatementKind::kRelation, name);
    Relation *r = new_relation();
    r->name = name;
    r->added = state.added;
    int items = 0;
    while (lookahead != ';' && lookahead != kEnd) {
        if (!relation_item(r)) {
            dbfree_relation(r);
            return false;
        }
        items++;
    }
    if (items == 0 || lookahead != ';') {
        dbfree_relation(r);
        return false;
    }
    if (pending_like != nullptr) {
        int rc = dbadd_like_relation(state.schema, r, pending_like);
        std::free(pending_like);
        pending_like = nullptr;
        if (rc != 0) DB_error("bad Like relation");
    } else if (dbadd_relation(state.schema, r) != 0) {
        DB_error("bad relation");
    }
    if (r->id < 0) dbfree_relation(r);  // never entered in the schema
    advance();
    return true;
}

bool statement() {
    switch (lookahead) {
        case kSchema: return schema_statement();
        case kAttribute: return attribute_statement();
        case kRelation: return relation_statement();
        default: return false;
    }
}

}  // namespace

extern "C" {

void DB_error(const char *message) {
    state.errors++;
    char near[26];
    const char *text = state.text ? state.text : "";
    int n = 0;
    while (n < 25 && text[n] != '\0' && static_cast<unsigned char>(text[n]) >= ' ' &&
           text[n] != 0x7f)
        n++;
    std::memcpy(near, text, n);
    near[n] = '\0';
    const char *label = state.input && state.input->label ? state.input->label : "";
    switch (state.kind) {
        case StatementKind::kRelation:
            elog_log(0, "db : %s at '%s' while compiling relation '%s' near line #%d of %s\n",
                     message, near, state.compiling, state.line, label);
            break;
        case StatementKind::kAttribute:
            elog_log(0, "db : %s at '%s' while compiling attribute '%s' near line #%d of %s\n",
                     message, near, state.compiling, state.line, label);
            break;
        case StatementKind::kSchema:
            elog_log(0, "db : %s at '%s' while compiling schema '%s' near line #%d of %s\n",
                     message, near, state.schema->name, state.line, label);
            break;
        default:
            elog_log(0, "db : %s at '%s' near line #%d of %s\n", message, near, state.line,
                     label);
    }
}

int DB_parse(void) {
    std::free(pending_like);
    pending_like = nullptr;
    advance();
    if (lookahead == kEnd) {
        DB_error("parse error");
        return 1;
    }
    while (lookahead != kEnd) {
        if (statement()) continue;
        DB_error("parse error");
        while (lookahead != ';' && lookahead != kEnd) advance();
        if (lookahead == kEnd) return 1;
        advance();
    }
    return 0;
}

int compile_schema(Schema *schema, int fd, const char *text, const char *dbpath,
                   const char *label) {
    MutexGuard guard(compile_lock);
    close_inputs();
    state.schema = schema;
    state.errors = 0;
    state.depth = 0;
    state.ended = false;
    state.dbpath = dbpath;
    Input *in = LF_NEW_RECORD(Input, "input");
    if (fd < 0) {
        in->text = const_cast<char *>(text ? text : "");
        in->length = std::strlen(in->text);
        state.added = 1;
    } else {
        state.added = 0;
        if (!read_whole(fd, in)) elog_log(1, "read failed in compile_schema\n");
    }
    in->label = LF_STRDUP(label ? label : "", "input");
    state.input = in;
    state.line = 1;

    int status = DB_parse();
    close_inputs();
    state.schema = nullptr;

    if (schema->table_names == nullptr) {
        schema->table_names = newtbl(maxtbl(schema->relation_names) + 1);
        for (int i = 0; i < maxtbl(schema->relation_names); i++)
            pushtbl(schema->table_names,
                    LF_STRDUP(static_cast<char *>(gettbl(schema->relation_names, i)), "name"));
        if (schema->extdir != nullptr) {
            Tbl *files = dirfiles(schema->extdir, 1);
            for (int i = 0; i < maxtbl(files); i++) pushtbl(schema->table_names, gettbl(files, i));
            freetbl(files, nullptr);
        }
    }
    return status | state.errors;
}

}  // extern "C"
