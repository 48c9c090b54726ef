// Where the key, view and expression code of the library meets record
// storage and the catalogue. Until that code is here a table has no
// in-memory index, no saved view is read and no key holds an expression.
#include "ledgeform_private.h"

namespace ledgeform {

// A table's indexes (its `indexes` array) are registered by the index code;
// while none is ever registered there is nothing to keep current.
void index_record_added(Table *, Dbptr) {}
void index_record_deleted(Table *, Dbptr) {}
void index_record_marked(Table *, Dbptr) {}

int read_view_file(FILE *, Dbptr *result, const char *) {
    *result = dbinvalid();
    return dbINVALID;
}

void free_expression(Expression *) {}

}  // namespace ledgeform
