// Keys: a list of key texts compiled into a jig (the layout of a fixed-size
// binary key image), the key image of a record, and the comparisons of key
// images that sorting, searching and joining stand on.
//
// A key image starts with the record number; then one value per component:
// integers as an int aligned to 4, reals, times, year-days and offdates as a
// double aligned to 8 (read and written with memcpy, since an image need not
// sit at an address aligned to 8), strings NUL-padded over width + 1 bytes.
// A range "start::end" holds start, end and the running largest end (its
// envelope), each of the start's size.
#include <cctype>
#include <cmath>

#include "ledgeform_private.h"

using namespace ledgeform;

namespace {

constexpr int kIntegerRange = -998;
constexpr int kRealRange = -999;

bool is_time_like(int type) {
    return type == dbREAL || type == dbTIME || type == dbYEARDAY || type == kOffdateKey;
}

int round_up(int n, int to) { return (n + to - 1) / to * to; }

Key_component *component_at(Jig *jig, int i) {
    return static_cast<Key_component *>(gettbl(jig->components, i));
}
Key_element *element_at(Jig *jig, int i) {
    return static_cast<Key_element *>(gettbl(jig->elements, i));
}

// Adds one component for the key text `name` (a field or an expression),
// converting an expression to `wanted` when that is not 0. Null on failure.
Key_component *add_field(Dbptr table, Jig *jig, const char *name, int wanted, int is_end) {
    auto *c = LF_NEW_RECORD(Key_component, "key_component");
    pushtbl(jig->components, c);
    c->is_end = is_end;
    int width = 0;
    if (dbis_expression(const_cast<char *>(name))) {
        Expression *tree = nullptr;
        int type = dbex_compile(table, name, &tree, wanted);
        if (type == dbINVALID || tree == nullptr) {
            elog_log(0, "Can't compile key field expression '%s'\n", name);
            return nullptr;
        }
        c->expr = tree;
        c->field = -1;
        c->type = tree->type;
        if (c->type == dbSTRING) {
            elog_log(0, "String expressions (like '%s') are not allowed in indexes\n", name);
            return nullptr;
        }
    } else {
        Dbptr f = dblookup(table, nullptr, nullptr, name, nullptr);
        if (f.field < 0) {
            elog_log(0, "Can't find key field '%s' in table\n", name);
            return nullptr;
        }
        c->field = f.field;
        int type = 0;
        dbquery(f, QUERY_FIELD_TYPE, &type);
        c->type = std::strcmp(name, "offdate") == 0 ? kOffdateKey : type;
        dbquery(f, QUERY_FIELD_SIZE, &width);
    }
    switch (c->type) {
        case dbBOOLEAN:
        case dbINTEGER:
            c->offset = round_up(jig->size, 4);
            c->size = 4;
            break;
        case dbREAL:
        case dbTIME:
        case dbYEARDAY:
        case kOffdateKey:
            c->offset = round_up(jig->size, 8);
            c->size = 8;
            break;
        case dbSTRING:
            c->offset = jig->size;
            c->size = width + 1;
            break;
        default:
            // Refused by the caller by its type.
            c->offset = jig->size;
            c->size = 0;
            break;
    }
    jig->size = c->offset + c->size;
    return c;
}

bool add_key(Dbptr table, Jig *jig, const char *key) {
    auto *e = LF_NEW_RECORD(Key_element, "element");
    pushtbl(jig->elements, e);
    const char *sep = std::strstr(key, "::");
    if (sep == nullptr) {
        Key_component *c = add_field(table, jig, key, 0, 0);
        if (c == nullptr) return false;
        e->offset = c->offset;
        e->size = c->size;
        if (is_time_like(c->type)) {
            e->kind = dbREAL;
        } else if (c->type == dbINTEGER) {
            e->kind = dbINTEGER;
        } else if (c->type == dbSTRING) {
            e->kind = dbSTRING;
        } else {
            elog_log(0, "'%s' has bad type for index.\n", key);
            return false;
        }
        return true;
    }
    jig->envelope = 1;
    const char *colon = std::strchr(key, ':');
    std::size_t n = static_cast<std::size_t>(colon - key);
    WorkBuffer start(n + 1, "key");
    std::memcpy(start.get(), key, n);
    Key_component *s = add_field(table, jig, start.get(), 0, 0);
    if (s == nullptr) return false;
    e->offset = s->offset;
    Key_component *t = add_field(table, jig, sep + 2, s->type, 1);
    if (t == nullptr) return false;
    e->size = t->size;
    if (s->type == dbINTEGER) {
        e->kind = kIntegerRange;
        jig->size += 4;
        if (t->type != dbINTEGER) {
            elog_log(0, "Illegal range: '%s' (components aren't both integer)\n", start.get());
            return false;
        }
    } else if (is_time_like(s->type)) {
        e->kind = kRealRange;
        jig->size += 8;
        if (t->type != s->type && !is_time_like(t->type)) {
            elog_log(0, "Illegal range: '%s' (components don't have same type)\n", start.get());
            return false;
        }
    } else {
        elog_log(0, "Illegal range expression: '%s' (bad type)\n", start.get());
        return false;
    }
    return true;
}

// ---- Reading values of a key image ----

double real_at(const char *p) {
    double d;
    std::memcpy(&d, p, sizeof d);
    return d;
}
int int_at(const char *p) {
    int32_t i;
    std::memcpy(&i, p, sizeof i);
    return i;
}
void put_real(char *p, double d) { std::memcpy(p, &d, sizeof d); }
void put_int(char *p, int32_t i) { std::memcpy(p, &i, sizeof i); }

bool is_integer_kind(int kind) { return kind == dbINTEGER || kind == kIntegerRange; }
bool is_range_kind(int kind) { return kind == kIntegerRange || kind == kRealRange; }
bool is_number_kind(int kind) {
    return kind == dbINTEGER || kind == dbREAL || is_range_kind(kind);
}

// The i-th value (0 start, 1 end, 2 envelope) of an element, as a double:
// an int converts exactly, so comparisons never overflow.
double number(const char *image, const Key_element *e, int i) {
    const char *p = image + e->offset + i * (is_integer_kind(e->kind) ? 4 : 8);
    return is_integer_kind(e->kind) ? int_at(p) : real_at(p);
}

int sign(double a, double b) { return a < b ? -1 : a > b ? 1 : 0; }

// Strings NUL-padded over at most na and nb bytes, as strcmp would compare
// them.
int compare_strings(const char *a, int na, const char *b, int nb) {
    int n = na > nb ? na : nb;
    for (int i = 0; i < n; i++) {
        int x = i < na ? static_cast<unsigned char>(a[i]) : 0;
        int y = i < nb ? static_cast<unsigned char>(b[i]) : 0;
        if (x != y) return x - y;
        if (x == 0) return 0;
    }
    return 0;
}

[[noreturn]] void bad_kind() { elog_die(0, "Bad data type in dbkeycmp\n"); }

void check_kind(int kind) {
    if (kind != dbSTRING && !is_number_kind(kind)) bad_kind();
}

// Key k by jig a against entry e by jig b. `envelope`: a range entry reaches
// up to its envelope (else its own end); `stop_at_range`: a matching range
// decides the comparison.
int compare_across(const char *k, const char *e, Jig *a, Jig *b, bool envelope,
                   bool stop_at_range) {
    int n = maxtbl(a->elements);
    int nb = maxtbl(b->elements);
    if (nb < n) n = nb;
    for (int i = 0; i < n; i++) {
        const Key_element *x = element_at(a, i);
        const Key_element *y = element_at(b, i);
        check_kind(x->kind);
        check_kind(y->kind);
        int result;
        if (x->kind == dbSTRING || y->kind == dbSTRING) {
            if (x->kind != y->kind) {
                result = x->kind == dbSTRING ? 1 : -1;
            } else {
                result = compare_strings(k + x->offset, x->size, e + y->offset, y->size);
            }
            if (result != 0) return result;
            continue;
        }
        bool xr = is_range_kind(x->kind), yr = is_range_kind(y->kind);
        double s = number(k, x, 0);
        double start = number(e, y, 0);
        if (!xr && !yr) {
            result = sign(s, start);
            if (result != 0) return result;
            continue;
        }
        bool inside;
        if (yr) {
            double reach = number(e, y, envelope ? 2 : 1);
            inside = start <= s && s <= reach;
            if (xr && !inside) {
                double t = number(k, x, 1);
                inside = s <= start && start <= t;
            }
        } else {
            double t = number(k, x, 1);
            inside = s <= start && start <= t;
        }
        if (!inside) return sign(s, start);
        if (stop_at_range) return 0;
    }
    return 0;
}

}  // namespace

std::size_t ledgeform::key_bytes(Jig *jig, int n) {
    int end = 4;
    int texts = 0;
    for (int i = 0; i < maxtbl(jig->components); i++) {
        Key_component *c = component_at(jig, i);
        if (!c->is_end && texts++ == n) break;
        // The end of a range is followed by its envelope, of the same size.
        int stop = c->offset + (c->is_end ? 2 * c->size : c->size);
        if (stop > end) end = stop;
    }
    return static_cast<std::size_t>(end - 4);
}

extern "C" {

int dbis_expression(char *key) {
    for (const char *p = key; *p != '\0'; p++)
        if (!std::isalnum(static_cast<unsigned char>(*p)) && *p != '_' && *p != '.') return 1;
    return 0;
}

int dbmake_jig(Dbptr table, Tbl *keys, Jig **out) {
    auto *jig = LF_NEW_RECORD(Jig, "jig");
    *out = jig;
    int n = keys != nullptr ? maxtbl(keys) : 0;
    jig->keys = newtbl(n + 1);
    jig->components = newtbl(n + 1);
    jig->elements = newtbl(n + 1);
    jig->size = 4;
    jig->envelope = 0;
    jig->db = table;
    for (int i = 0; i < n; i++)
        pushtbl(jig->keys, LF_STRDUP(static_cast<char *>(gettbl(keys, i)), "jig"));
    Dbptr t = table;
    t.field = t.record = dbALL;
    for (int i = 0; i < n; i++)
        if (!add_key(t, jig, static_cast<char *>(gettbl(jig->keys, i)))) return dbINVALID;
    jig->size = round_up(jig->size, 4);
    return 0;
}

void dbmake_key(Dbptr record, Jig *jig, char *key) {
    std::memset(key, 0, static_cast<std::size_t>(jig->size));
    put_int(key, record.record);
    record.field = dbALL;
    Resolved r;
    bool whole = resolve(record, &r) == RESOLVED_RECORD && r.data != nullptr;
    int n = maxtbl(jig->components);
    for (int i = 0; i < n; i++) {
        Key_component *c = component_at(jig, i);
        char *slot = key + c->offset;
        int type = c->type;
        union {
            int i;
            double d;
        } v{};
        if (c->expr != nullptr) {
            dbex_eval(record, c->expr, 0, &v);
        } else {
            const char *data = nullptr;
            int width = 0;
            Field *f = whole ? field_at(r.relation, c->field) : nullptr;
            Resolved fr;
            if (f != nullptr && !f->is_dbptr && f->table == r.relation->id) {
                data = r.data + f->offset;
                width = field_width(f);
            } else {
                Dbptr p = record;
                p.field = c->field;
                if (resolve(p, &fr) == RESOLVED_FIELD && fr.data != nullptr) {
                    data = fr.data;
                    width = fr.size;
                }
            }
            if (data == nullptr) continue;
            if (type == dbSTRING) {
                dbd2c(data, width, slot, dbSTRING);
                continue;
            }
            dbd2c(data, width, &v, type == kOffdateKey ? kOffdateKey : type);
        }
        switch (type) {
            case dbBOOLEAN:
            case dbINTEGER: put_int(slot, v.i); break;
            case dbREAL:
            case dbTIME: put_real(slot, v.d); break;
            case dbYEARDAY: v.d = epoch(v.i); put_real(slot, v.d); break;
            case kOffdateKey:
                // The last second of the day: the start of the next one less
                // a second, across the end of a year too.
                v.d = v.i == -1 ? an_infinity() : epoch(v.i) + 86400.0 - 1.0;
                put_real(slot, v.d);
                break;
            default: break;
        }
        if (c->is_end) std::memcpy(slot + c->size, slot, static_cast<std::size_t>(c->size));
    }
}

void dbshow_key(Jig *jig, char *key) {
    std::printf("Record #%5d\n", int_at(key));
    int n = maxtbl(jig->elements);
    for (int i = 0; i < n; i++) {
        Key_element *e = element_at(jig, i);
        std::printf("   %-10s :", static_cast<char *>(gettbl(jig->keys, i)));
        const char *p = key + e->offset;
        switch (e->kind) {
            case dbINTEGER: std::printf("\t%10d\n", int_at(p)); break;
            case dbREAL: std::printf("\t%10.1f\n", real_at(p)); break;
            case dbSTRING: std::printf("\t%-15s\n", p); break;
            case kRealRange:
                std::printf("\t%10.1f:%10.1f:%10.1f\n", real_at(p), real_at(p + 8), real_at(p + 16));
                break;
            case kIntegerRange:
                std::printf("\t%10d:%10d:%10d\n", int_at(p), int_at(p + 4), int_at(p + 8));
                break;
            default: bad_kind();
        }
    }
}

int dbcmp_sort(char *a, char *b, Dbindex *index) {
    Jig *jig = index->jig;
    int n = maxtbl(jig->elements);
    for (int i = 0; i < n; i++) {
        const Key_element *e = element_at(jig, i);
        int result;
        switch (e->kind) {
            case dbSTRING:
                result = compare_strings(a + e->offset, e->size, b + e->offset, e->size);
                break;
            case dbINTEGER:
            case kIntegerRange: {
                int x = int_at(a + e->offset), y = int_at(b + e->offset);
                result = x < y ? -1 : x > y ? 1 : 0;
                break;
            }
            case dbREAL:
            case kRealRange: result = sign(real_at(a + e->offset), real_at(b + e->offset)); break;
            default: bad_kind();
        }
        if (result != 0) return result;
    }
    return 0;
}

int dbcmp_envelope(char *previous, char *entry, Dbindex *index) {
    Jig *jig = index->jig;
    int n = maxtbl(jig->elements);
    for (int i = 0; i < n; i++) {
        const Key_element *e = element_at(jig, i);
        check_kind(e->kind);
        int result;
        if (e->kind == dbSTRING) {
            result = compare_strings(previous + e->offset, e->size, entry + e->offset, e->size);
        } else if (!is_range_kind(e->kind)) {
            result = sign(number(previous, e, 0), number(entry, e, 0));
        } else {
            char *env = entry + e->offset + 2 * (is_integer_kind(e->kind) ? 4 : 8);
            double reach = number(previous, e, 2);
            double end = number(entry, e, 1);
            if (reach < end) reach = end;
            if (is_integer_kind(e->kind))
                put_int(env, static_cast<int32_t>(reach));
            else
                put_real(env, reach);
            result = sign(number(previous, e, 0), number(entry, e, 0));
            if (result == 0) result = sign(number(previous, e, 1), number(entry, e, 1));
        }
        if (result != 0) return result;
    }
    return 0;
}

int dbfix_envelope(Dbindex *index) {
    int n = maxtbl(index->entries);
    for (int i = 1; i < n; i++)
        dbcmp_envelope(static_cast<char *>(gettbl(index->entries, i - 1)),
                       static_cast<char *>(gettbl(index->entries, i)), index);
    return 0;
}

int dbcmp_search(char *key, char *entry, Dbindex *index) {
    return compare_across(key, entry, index->search_jig, index->jig, true, true);
}

int dbcmp(char *key, char *entry, Jig *jigs[2]) {
    return compare_across(key, entry, jigs[0], jigs[1], false, false);
}

}  // extern "C"
