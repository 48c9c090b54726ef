// Where the index code of the library meets record storage. Until that code
// is here a table has no in-memory index.
#include "ledgeform_private.h"

namespace ledgeform {

// A table's indexes (its `indexes` array) are registered by the index code;
// while none is ever registered there is nothing to keep current.
void index_record_added(Table *, Dbptr) {}
void index_record_deleted(Table *, Dbptr) {}
void index_record_marked(Table *, Dbptr) {}

}  // namespace ledgeform
