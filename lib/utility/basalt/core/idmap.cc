// The id map: a sorted set of {old, new} pairs ordered by the old id.
#include <cstdlib>

#include "alloc.h"
#include "arrays.h"

namespace {

int idcmp(void *a, void *b) {
    int32_t x = static_cast<Intid *>(a)->old;
    int32_t y = static_cast<Intid *>(b)->old;
    return x < y ? -1 : (x > y ? 1 : 0);
}

}  // namespace

Stbl *newidmap(void) { return newstbl(idcmp); }

int idset(Stbl *map, int oldid, int newid) {
    Intid *pair = BASALT_NEW_RECORD(Intid, "id");
    pair->old = oldid;
    pair->new_id = newid;
    int previous = -1;
    if (auto *was = static_cast<Intid *>(delstbl(map, pair))) {
        previous = was->new_id;
        std::free(was);
    }
    // The earlier pair is gone already, so failing here would lose the
    // mapping: running out of memory is fatal.
    if (addstbl(map, pair) == nullptr)
        basalt::out_of_memory(__FILE__, __LINE__, 1, "id");
    return previous;
}

int idget(Stbl *map, int oldid) {
    Intid probe{oldid, 0};
    auto *pair = static_cast<Intid *>(tststbl(map, &probe));
    return pair != nullptr ? pair->new_id : -1;
}

void freeidmap(Stbl *map) { freestbl(map, std::free); }
