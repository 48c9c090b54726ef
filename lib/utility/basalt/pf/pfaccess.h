/* Parameter files: lookups, typed getters and "&name" expansion; path
 * expressions and editing; deferred-function values.
 *
 * Included at the end of pf.h, which declares the node record Pf.
 *
 * Path expressions. The getters and pfset name a value by a path: a key of
 * the top level, then "{key}" steps into arrays and "[index]" steps into
 * lists, for instance "servers{main}[2]". Blanks belong to names
 * ("a [1]" is the name "a " and the index 1); the key of a "{key}" step
 * loses its leading and trailing spaces. Where the node given is a list,
 * the name is instead an element index passed in the pointer argument
 * ((char *)(intptr_t)index) and no path syntax applies.
 *
 * Expansion. A scalar text holding "&name" or "&{name}" has each such
 * reference replaced by the scalar value of that key, looked up in the
 * enclosing array, then the arrays around it, up to the top of the file.
 * A name directly followed by "(" is a function call, not a reference.
 * Expanded texts belong to the tree (texts handed out earlier stay valid
 * while the tree lives).
 *
 * Deferred functions. A value "&exec(...)", "&glob(...)", "&file(...)",
 * "&datafile(...)", "&filename(...)", "&datafilename(...)", "&env(...)",
 * "&ref(pfname, path)", "&ask(...)", "&undef()" or any other "&name(...)"
 * (handed to the user plug-in method "pfuser") is evaluated at every
 * lookup; the result of the previous lookup of the same value is freed.
 *
 * Threads. Path resolution is serialised by a mutex of its own; the die
 * handler and prompt routine are process-wide. A tree has no lock: it is
 * used by one thread at a time, and looking up a deferred function or an
 * expanded text changes it.
 */
#ifndef BASALT_PFACCESS_H
#define BASALT_PFACCESS_H

#include "basalt_api.h"
#include "arrays.h"
#include "tbl.h"

BASALT_BEGIN_DECLS

/* ---- Lookups and typed getters ---- */

/* One step without path syntax: name is a key of a file or array node, an
 * element index of a list node; a scalar or function node stands for
 * itself. A function found is evaluated. A scalar gives *result = its
 * expanded text and SCALAR_PF; another node gives *result = that node and
 * its kind (-1 included); nothing found gives *result = null and
 * INVALID_PF. */
BASALT_API int pfget(Pf *pf, const char *name, void **result);

/* Resolves the path name (functions evaluated): a scalar stores its
 * expanded text in *value and gives 0; a file node (the empty path) gives
 * 0 and null; anything else gives null and -1. */
BASALT_API int pfeval(Pf *pf, const char *name, char **value);

/* The expanded text at path name, or null when absent (lent: it belongs to
 * the tree). A value of another kind calls the die handler. */
BASALT_API char *pfget_string(Pf *pf, const char *name);

/* Converted scalars. An absent value or one of the wrong kind calls the
 * die handler (the default ends the program); a text that does not
 * convert cleanly draws a complaint and gives what could be converted. */
BASALT_API int pfget_int(Pf *pf, const char *name);
BASALT_API double pfget_double(Pf *pf, const char *name);
BASALT_API double pfget_size(Pf *pf, const char *name);

/* The epoch time of the text at path name, read by the time-string parser
 * (its own messages dropped); a text that is no time draws the complaint
 * "Bad time value" and gives what the parser made of it. */
BASALT_API double pfget_time(Pf *pf, const char *name);

/* -1 for a true word, 0 for a false word, an absent value or any other
 * word (which draws a complaint). */
BASALT_API int pfget_boolean(Pf *pf, const char *name);

/* A new list (the caller frees the list only) of what pfget gives for each
 * element of the list at path name: expanded texts of scalars, nodes of
 * anything else. Null when absent. */
BASALT_API Tbl *pfget_tbl(Pf *pf, const char *name);

/* A new array (the caller frees the array only) of the keys of the array
 * at path name whose values are scalars, each with its expanded text.
 * Null when absent. */
BASALT_API Arr *pfget_arr(Pf *pf, const char *name);

/* Number of elements of a list node; 0 for any other node. */
BASALT_API int pfmaxtbl(Pf *pf);

/* A new list (the caller frees the list only) of the keys of a file or
 * array node in ascending order; null for any other node. */
BASALT_API Tbl *pfkeys(Pf *pf);

/* A size with an optional suffix "k" (1024), "M" (1048576) or
 * "G" (1073741824); trailing characters are ignored, "" gives 0. */
BASALT_API double sz2dbl(const char *size);

/* The text of a scalar or function node with its "&" references replaced
 * (lent: it belongs to the node); the node's own text when it holds no
 * "&"; null for other nodes. */
BASALT_API char *pfexpand(Pf *pf);

/* "die": value is the new die handler,
 *     void handler(Pf *pf, char *name, int expected, int got, void *val),
 * called when a typed getter finds no value or one of the wrong kind; val
 * points at the getter's result (an int, a double or the Pf * found),
 * which a handler that returns may set. "ask": value is the prompt routine
 * of "&ask" values, char *routine(char *prompt), returning a malloc'd
 * answer. A null value restores the default. 0, or -1 (logged) for any
 * other code. */
BASALT_API int pfconfig(const char *name, void *value);

/* The default die handler: ends the program with a message naming the
 * value, the kinds and the file. */
BASALT_API void _pfdie(Pf *pf, char *name, int expected, int got, void *val);

/* Checks that the parameter file pfname (the file of its search path that
 * takes precedence) has a "pf_revision_time" no earlier than the time
 * atime. 0 when it has; -1 no such value (or the file cannot be opened),
 * -2 an earlier one, -3 a parse error, -4 no file at all; each failure is
 * logged. */
BASALT_API int pfrequire(const char *pfname, const char *atime);

/* ---- Path expressions and editing ---- */

/* Resolves the path name from pf: the kind of the node found and the node
 * in *value_pf, or a failure code with *value_pf null: -31 a step that is
 * not there, -32 a step into a node of the wrong kind (or a missing
 * element of a list root), -1 a null pf. With create nonzero, missing
 * steps are made as placeholders (ANY_PF). A function found is evaluated
 * and *value_pf receives its result (possibly null); the kind returned is
 * then FUNCTION_PF. */
BASALT_API int pfresolve(Pf *pf, const char *name, int create,
                         Pf **value_pf);

/* Stores a copy of value as a scalar at path name, making what is
 * missing and replacing (and freeing) what was there. 0, or -1 when the
 * path cannot be resolved or made. */
BASALT_API int pfset(Pf *pf, const char *name, const char *value);

/* Stores a value under the key name of a file or array node, or at the
 * element index name of a list node, replacing and freeing what was
 * there. type: SCALAR_PF (a copy of the text value), FUNCTION_PF (a
 * function node with a copy of the text value), FILE_PF or ARRAY_PF (a
 * node taking over the Arr value), TABLE_PF (a list node taking over the
 * Tbl value), 8 (value is a ready node, a file node becoming an array
 * node). Another type, or a pf that is not a file, array or list node,
 * ends the program. */
BASALT_API void pfput(Pf *pf, const char *name, void *value, int type);
BASALT_API void pfput_string(Pf *pf, const char *name, const char *value);
BASALT_API void pfput_int(Pf *pf, const char *name, int val);
BASALT_API void pfput_double(Pf *pf, const char *name, double val);
/* "True" for nonzero, "False" for 0. */
BASALT_API void pfput_boolean(Pf *pf, const char *name, int val);
/* The time val as the text "%E (%j) %Y-%m-%d  %H:%M:%S.%s %z %A" in UTC,
 * without its leading blanks, e.g.
 * "1000000000.000 (252) 2001-09-09  01:46:40.000 UTC Sunday". */
BASALT_API void pfput_time(Pf *pf, const char *name, double val);
/* A new list of scalars, a copy of each text of value (a list of char *). */
BASALT_API void pfput_tbl(Pf *pf, const char *name, Tbl *value);
/* A new array of scalars, a copy of each key and text of value (an Arr of
 * char *). */
BASALT_API void pfput_arr(Pf *pf, const char *name, Arr *value);

/* Removes and returns (the caller's to free) the node under the key name
 * of a file or array node, or at the element index name of a list node
 * (later elements move down); null when absent or for another kind. */
BASALT_API Pf *pfdel(Pf *pf, const char *name);

/* One lookup step: in a file or array node the value under the key name,
 * in a list node the element at the index name; a scalar node gives null;
 * a function node gives itself. Any other kind ends the program. */
BASALT_API void pfvalue(Pf *pf, const char *name, Pf **result);

/* Puts a new placeholder under the key name of a file or array node (a
 * placeholder pf becomes an array first): 0; -1 for other kinds. */
BASALT_API int pfadd_arr(Pf *pf, const char *name);

/* Puts a new placeholder at index of a list node (a placeholder pf becomes
 * a list first; the list grows as needed): 0; -1 for other kinds. */
BASALT_API int pfadd_tbl(Pf *pf, int index);

/* ---- Deferred functions ---- */

/* Evaluates the function node pf and returns the node it yields (held by
 * the function node until its next evaluation), or null when the value
 * counts as absent. */
BASALT_API Pf *pfinterpret(Pf *pf);

/* A new text (the caller frees it): the answer to the prompt of an "&ask"
 * text, from the prompt routine or read from the terminal. */
BASALT_API char *pfprompt(const char *text);

BASALT_END_DECLS

#endif
