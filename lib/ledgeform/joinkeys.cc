// The keys by which two tables join: a foreign key of one that is a key of
// the other, else the pairs of their primary and alternate keys that name
// the same field, an equivalent one or a range over it.
#include "ledgeform_private.h"

using namespace ledgeform;

namespace {

Tbl *key_list(Dbptr t, int code) {
    Tbl *list = nullptr;
    if (dbquery(t, code, &list) != 0) return nullptr;
    return list;
}

int count_of(Tbl *list) { return list != nullptr ? maxtbl(list) : 0; }

char *text_at(Tbl *list, int i) { return static_cast<char *>(gettbl(list, i)); }

// The text of `keys` equal to name, or null.
char *find_text(Tbl *keys, const char *name) {
    for (int i = 0; i < count_of(keys); i++)
        if (std::strcmp(text_at(keys, i), name) == 0) return text_at(keys, i);
    return nullptr;
}

// A foreign key of `foreign` that is a primary, else alternate, key of the
// other relation: true with the texts in *mine and *theirs.
bool foreign_match(Tbl *foreign, Tbl *primary, Tbl *alternate, char **mine, char **theirs) {
    for (int i = 0; i < count_of(foreign); i++) {
        char *f = text_at(foreign, i);
        char *other = find_text(primary, f);
        if (other == nullptr) other = find_text(alternate, f);
        if (other != nullptr) {
            *mine = f;
            *theirs = other;
            return true;
        }
    }
    return false;
}

// The position of ':' in s, or -1.
int colon_at(const char *s) {
    const char *c = std::strchr(s, ':');
    return c != nullptr ? static_cast<int>(c - s) : -1;
}

bool same_prefix(const char *a, const char *b, int n) { return n >= 0 && std::strncmp(a, b, n) == 0; }

}  // namespace

extern "C" {

int match_keys(Tbl *a, int na, Tbl *b, int nb, Tbl *out_a, Tbl *out_b) {
    Tbl *range_a = newtbl(4), *range_b = newtbl(4);
    for (int i = 0; i < na; i++) {
        char *x = text_at(a, i);
        int cx = colon_at(x);
        char *e = equiv_field(x);
        int ce = colon_at(e);
        for (int j = 0; j < nb; j++) {
            char *y = text_at(b, j);
            int cy = colon_at(y);
            bool match = std::strcmp(x, y) == 0 || (cx >= 0 && cy < 0 && same_prefix(x, y, cx)) ||
                         (cy >= 0 && cx < 0 && same_prefix(x, y, cy)) || std::strcmp(e, y) == 0 ||
                         (cy >= 0 && ce < 0 && same_prefix(e, y, cy)) ||
                         (ce >= 0 && cy < 0 && same_prefix(e, y, ce));
            if (!match) continue;
            if (cx >= 0 || cy >= 0) {
                pushtbl(range_a, x);
                pushtbl(range_b, y);
            } else {
                pushtbl(out_a, x);
                pushtbl(out_b, y);
            }
            break;
        }
    }
    for (int i = 0; i < maxtbl(range_a); i++) {
        pushtbl(out_a, gettbl(range_a, i));
        pushtbl(out_b, gettbl(range_b, i));
    }
    freetbl(range_a, nullptr);
    freetbl(range_b, nullptr);
    return maxtbl(out_a);
}

int dbfind_join_keys(Dbptr table1, Dbptr table2, Tbl **keys1, Tbl **keys2) {
    table1.field = table1.record = dbALL;
    table2.field = table2.record = dbALL;
    Resolved r1, r2;
    if (resolve(table1, &r1) != RESOLVED_TABLE || resolve(table2, &r2) != RESOLVED_TABLE)
        return dbINVALID;
    Tbl *p1 = key_list(table1, QUERY_PRIMARY_KEY), *a1 = key_list(table1, QUERY_ALTERNATE_KEY);
    Tbl *f1 = key_list(table1, QUERY_FOREIGN_KEYS);
    Tbl *p2 = key_list(table2, QUERY_PRIMARY_KEY), *a2 = key_list(table2, QUERY_ALTERNATE_KEY);
    Tbl *f2 = key_list(table2, QUERY_FOREIGN_KEYS);
    Tbl *k1 = newtbl(4), *k2 = newtbl(4);
    *keys1 = k1;
    *keys2 = k2;
    char *mine = nullptr, *theirs = nullptr;
    if (foreign_match(f1, p2, a2, &mine, &theirs)) {
        pushtbl(k1, mine);
        pushtbl(k2, theirs);
        return 0;
    }
    if (foreign_match(f2, p1, a1, &mine, &theirs)) {
        pushtbl(k1, theirs);
        pushtbl(k2, mine);
        return 0;
    }
    struct Pair {
        Tbl *a, *b;
        bool swapped;
    } tries[] = {{p1, p2, false}, {a1, a2, false}, {p1, a2, false}, {p2, a1, true}};
    for (const Pair &p : tries) {
        int found = p.swapped ? match_keys(p.a, count_of(p.a), p.b, count_of(p.b), k2, k1)
                              : match_keys(p.a, count_of(p.a), p.b, count_of(p.b), k1, k2);
        if (found > 0) return 0;
    }
    freetbl(k1, nullptr);
    freetbl(k2, nullptr);
    *keys1 = *keys2 = nullptr;
    return 1;
}

}  // extern "C"
