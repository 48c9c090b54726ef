// Hooks: caller-held slots in which a routine keeps private state between
// calls, released through the destructor given when the hook was made.
#include "hooks.h"

#include <cstdlib>

#include "alloc.h"
#include "elog.h"

extern "C" {

Hook *new_hook(void (*hookfree)(void *p)) {
    Hook *hook = BASALT_NEW_RECORD(Hook, "hook");
    hook->magic = HOOK_MAGIC;
    hook->free = hookfree;
    hook->type = 0;
    hook->p = nullptr;
    return hook;
}

void free_hook(Hook **hookp) {
    if (hookp == nullptr || *hookp == nullptr) return;
    Hook *hook = *hookp;
    if (hook->magic != HOOK_MAGIC) elog_die(0, "free_hook called with bad pointer.\n");
    if (hook->free != nullptr && hook->p != nullptr) hook->free(hook->p);
    hook->magic = 0;  // the record no longer reads as a hook
    std::free(hook);
    *hookp = nullptr;
}

}  // extern "C"
