// The process-wide table of handles through which lists, arrays and
// parameter-file trees reach Fortran callers as integers.
//
// A handle is (generation << 20) | (slot + 1): the slot indexes the table,
// and the generation, bumped each time the slot is freed, turns a handle
// kept after its object was forgotten into a stale one rather than a
// handle of whatever took the slot next.
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "elog.h"
#include "fortran.h"
#include "fortran_private.h"

namespace {

constexpr int kSlotBits = 20;
constexpr int kMaxSlots = (1 << kSlotBits) - 1;
constexpr int kMaxGeneration = (1 << (31 - kSlotBits)) - 1;

struct Entry {
    void *object = nullptr;  // null: the slot is free
    int kind = 0;
    bool lent = false;
    int owner = 0;       // handle whose release also releases this one
    int children = 0;    // live handles whose owner this is
    int generation = 1;
};

struct Table {
    std::mutex mutex;
    std::vector<Entry> slots;
    std::vector<int> free_slots;
    std::unordered_map<void *, int> by_object;
};

Table &table() {
    static Table *t = new Table;  // never destroyed: bindings may run at exit
    return *t;
}

const char *kind_name(int kind) {
    switch (kind) {
        case FHANDLE_TBL:
            return "list";
        case FHANDLE_ARR:
            return "associative array";
        case FHANDLE_PF:
            return "parameter file";
        default:
            return "object";
    }
}

int handle_of(int slot, int generation) { return (generation << kSlotBits) | (slot + 1); }

// The live entry of a handle, or null.
Entry *find(Table &t, int handle) {
    if (handle <= 0) return nullptr;
    int slot = (handle & kMaxSlots) - 1;
    int generation = handle >> kSlotBits;
    if (slot < 0 || static_cast<std::size_t>(slot) >= t.slots.size()) return nullptr;
    Entry &e = t.slots[static_cast<std::size_t>(slot)];
    if (e.object == nullptr || e.generation != generation) return nullptr;
    return &e;
}

void release(Table &t, int handle) {
    Entry *e = find(t, handle);
    if (e == nullptr) return;
    t.by_object.erase(e->object);
    e->object = nullptr;
    e->generation = e->generation == kMaxGeneration ? 1 : e->generation + 1;
    if (Entry *owner = find(t, e->owner)) owner->children--;
    e->owner = 0;
    int children = e->children;
    e->children = 0;
    t.free_slots.push_back((handle & kMaxSlots) - 1);
    // Handles lent with it go too.
    for (std::size_t i = 0; children > 0 && i < t.slots.size(); i++) {
        if (t.slots[i].object != nullptr && t.slots[i].owner == handle) {
            t.slots[i].owner = 0;
            children--;
            release(t, handle_of(static_cast<int>(i), t.slots[i].generation));
        }
    }
}

int enter(void *object, int kind, bool lent, int owner) {
    if (object == nullptr) return 0;
    Table &t = table();
    std::lock_guard<std::mutex> hold(t.mutex);
    auto known = t.by_object.find(object);
    if (known != t.by_object.end()) {
        Entry *e = find(t, known->second);
        if (e != nullptr && e->kind == kind) return known->second;
        // The address now holds another kind of object: the old one is gone.
        release(t, known->second);
    }
    int slot;
    if (!t.free_slots.empty()) {
        slot = t.free_slots.back();
        t.free_slots.pop_back();
    } else if (t.slots.size() < static_cast<std::size_t>(kMaxSlots)) {
        slot = static_cast<int>(t.slots.size());
        t.slots.emplace_back();
    } else {
        elog_complain(0, "too many handles in use: no handle for another %s\n", kind_name(kind));
        return 0;
    }
    Entry &e = t.slots[static_cast<std::size_t>(slot)];
    e.object = object;
    e.kind = kind;
    e.lent = lent;
    e.owner = 0;
    e.children = 0;
    if (Entry *o = find(t, owner)) {
        e.owner = owner;
        o->children++;
    }
    int handle = handle_of(slot, e.generation);
    t.by_object[object] = handle;
    return handle;
}

}  // namespace

extern "C" {

int fhandle_put(void *object, int kind) { return enter(object, kind, false, 0); }

int fhandle_lend(void *object, int kind, int owner) { return enter(object, kind, true, owner); }

void *fhandle_get(int handle, int kind, const char *caller) {
    Table &t = table();
    {
        std::lock_guard<std::mutex> hold(t.mutex);
        Entry *e = find(t, handle);
        if (e != nullptr && e->kind == kind) return e->object;
    }
    elog_complain(0, "%s: %d is not the handle of an open %s\n", caller, handle,
                  kind_name(kind));
    return nullptr;
}

int fhandle_drop(int handle) {
    Table &t = table();
    std::lock_guard<std::mutex> hold(t.mutex);
    if (find(t, handle) == nullptr) return -1;
    release(t, handle);
    return 0;
}

}  // extern "C"

namespace basalt::fortran {

void *take_owned(int *h, int kind, const char *caller) {
    Table &t = table();
    {
        std::lock_guard<std::mutex> hold(t.mutex);
        Entry *e = find(t, *h);
        if (e != nullptr && e->kind == kind && !e->lent) {
            void *object = e->object;
            release(t, *h);
            return object;
        }
        if (e != nullptr && e->kind == kind) {
            elog_complain(0, "%s: handle %d is lent to the caller, who may not free it\n",
                          caller, *h);
            return nullptr;
        }
    }
    elog_complain(0, "%s: %d is not the handle of an open %s\n", caller, *h, kind_name(kind));
    return nullptr;
}

const char *interned(const char *name) {
    static std::mutex mutex;
    static auto *names = new std::set<std::string>;
    std::lock_guard<std::mutex> hold(mutex);
    return names->insert(name).first->c_str();
}

}  // namespace basalt::fortran
