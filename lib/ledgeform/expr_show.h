// The printers of expression trees, on any stream (the exported ones print
// on the standard output).
#ifndef LEDGEFORM_EXPR_SHOW_H
#define LEDGEFORM_EXPR_SHOW_H

#include <cstdio>

#include "db.h"

namespace ledgeform {

void show_expression(FILE *out, const Expression *tree, int showtypes);
void show_value(FILE *out, const Exvalue *value, int kind, int type);
void show_type(FILE *out, int type);
void show_immediate(FILE *out, const Exvalue *value, int type);

}  // namespace ledgeform

#endif
