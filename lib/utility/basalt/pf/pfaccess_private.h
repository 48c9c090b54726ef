// Parameter files: helpers shared by the lookup, path and deferred-function
// modules. Not part of the public interface (hidden visibility).
#ifndef BASALT_PFACCESS_PRIVATE_H
#define BASALT_PFACCESS_PRIVATE_H

#include "pf.h"

namespace basalt::pfaccess_detail {

// The typed lookup of the getters: pf itself for an array node and an
// empty name, else the node at the path name (functions evaluated), or
// null. A result whose kind differs from `expected` (ANY_PF accepts any
// kind) goes to the die handler first, which may change it.
Pf *typed_lookup(Pf *pf, const char *name, int expected);

// Calls the installed die handler (the default when none is installed).
void call_die_handler(Pf *pf, const char *name, int expected, int got, void *val);

// Installs the prompt routine of "&ask" values (null: the terminal).
void set_prompt_routine(void *routine);

// A copy of text (null stays null); out of memory is fatal naming `what`.
char *copy_text(const char *text, const char *what);

}  // namespace basalt::pfaccess_detail

#endif
