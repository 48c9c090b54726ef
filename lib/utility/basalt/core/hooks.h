/* Hooks and regular-expression tools.
 *
 * A hook is a small slot that a caller holds (a Hook pointer, null at
 * first) and in which a routine keeps private state between calls, such as
 * a compiled pattern, together with the function that frees that state.
 * The caller releases it with free_hook.
 *
 * The pattern tools use POSIX extended regular expressions:
 * - strmatches / strcontains: whole-text and substring matching, the
 *   compiled pattern cached in a hook;
 * - patsub / regsubstitute: substitution of the first match, "$0".."$9"
 *   inserting sub-matches and a backslash quoting the next character;
 * - morph tables: ordered pattern / substitution rules applied to a text;
 * - match_stachans / match_string: a station and channel against a
 *   comma-separated list of anchored station:channel expressions;
 * - fixfstring: a blank-padded fixed-length field as a plain string.
 *
 * A hook and its state belong to one caller at a time; nothing here takes
 * a lock, and nothing keeps state shared between threads.
 */
#ifndef BASALT_HOOKS_H
#define BASALT_HOOKS_H

#include <regex.h>
#include <stddef.h>

#include "basalt_api.h"
#include "tbl.h"

BASALT_BEGIN_DECLS

/* Value of Hook.magic while the hook is valid. */
#define HOOK_MAGIC 0x308e0bc3

typedef struct Hook {
    int magic;             /* HOOK_MAGIC while valid */
    void (*free)(void *p); /* destructor of p, given when the hook is made */
    int type;              /* 0 when made; the owning routine's to use */
    void *p;               /* the private state, null when made */
} Hook;

/* The state strmatches and strcontains keep in their hook. */
typedef struct Strmatch {
    char *pattern; /* a copy of the pattern */
    regex_t prog;  /* the compiled pattern */
    int errcode;   /* 0 compiled, -1 failed to compile, 1 not compiled yet */
} Strmatch;

/* One rule of a morph table. The substitution text lives in the same
 * allocation as the pattern. */
typedef struct Submap {
    char *pattern;      /* the rule's pattern */
    regex_t prog;       /* the compiled pattern (extended syntax) */
    char *substitution; /* the substitution text */
} Submap;

/* A list of Submap pointers, in the order of the lines they came from. */
typedef Tbl Morphtbl;

/* ---- Hooks ---- */

/* A new hook with the given destructor, type 0 and no state. */
BASALT_API Hook *new_hook(void (*hookfree)(void *p));

/* When *hookp is set: checks its magic (a bad one ends the process), calls
 * the destructor on the state when both are set, frees the hook and sets
 * *hookp to null. A null hookp or *hookp does nothing. */
BASALT_API void free_hook(Hook **hookp);

/* Destructor of a Strmatch (the hook state of strmatches/strcontains). */
BASALT_API void free_strmatch(void *strmatch);

/* ---- Matching with a cached pattern ---- */

/* 1 when the whole of s matches pattern, 0 when not, -2 when the pattern
 * failed to compile on this call, -1 when it failed on an earlier call with
 * the same hook. With a hook already made, its cached pattern is used and
 * the pattern argument is not looked at. hookp may be null: the pattern is
 * then compiled for this call only. */
BASALT_API int strmatches(char *s, char *pattern, Hook **hookp);

/* 1 when pattern matches somewhere in s, with *start the offset and *nchars
 * the length of the first match; 0 when not; -2 and -1 as strmatches.
 * start and nchars may be null; when given they are set to 0 first. */
BASALT_API int strcontains(char *s, char *pattern, Hook **hookp, int *start,
                           int *nchars);

/* ---- Substitution ---- */

/* Replaces the first match of buffer in old by sub (expanded as by
 * regsubstitute) and writes the result to new_, returning 1; without a
 * match copies old to new_ and returns 0. The caller's buffer new_ must
 * hold the whole result; patsub_n is the form that knows its size. old and
 * new_ may be the same buffer. */
BASALT_API int patsub(char *old, regex_t *buffer, char *sub, char *new_);

/* patsub into a buffer of `size` bytes: -1, with new_ left empty (when
 * size is not 0), when the result and its NUL would not fit. */
BASALT_API int patsub_n(char *old, regex_t *buffer, char *sub, char *new_,
                        size_t size);

/* Writes to new_ the text of old before matches[0], sub expanded, and the
 * text of old after matches[0]. In sub, "$" and a digit d inserts sub-match
 * d (matches holds the 10 entries 0 to 9 of regexec; a group that took no
 * part inserts nothing), "$" and any other character inserts nothing, a
 * backslash inserts the next character unchanged, and a "$" or backslash at
 * the very end ends the text. old and new_ may be the same buffer. */
BASALT_API void regsubstitute(char *old, char *sub, regmatch_t *matches,
                              char *new_);

/* regsubstitute into a buffer of `size` bytes: 0, or -1 with new_ left
 * empty (when size is not 0) when the result and its NUL would not fit. */
BASALT_API int regsubstitute_n(char *old, char *sub, regmatch_t *matches,
                               char *new_, size_t size);

/* ---- Morph tables ---- */

/* Builds a morph table from a list of text lines, one rule each:
 *   pattern<blanks/tabs>substitution[<blank/tab>ignored]
 * or, quoted with an apostrophe, a double quote or a slash q:
 *   q pattern q substitution [q]
 * A backslash makes the next character part of the field (and stays in
 * it); an empty pattern becomes "^$". Returns the number of lines whose
 * pattern failed to compile (those are logged and left out); *mp receives
 * the table. A null list gives an empty table and -1. */
BASALT_API int newmorphtbl(Tbl *list, Morphtbl **mp);

/* Applies the rules of morphmap to old and writes the transformed text (or
 * a copy of old when no rule applied) to result; returns the number of
 * rules applied. Flag 1: a rule applies when its pattern matches part of the
 * text (else the match must cover the whole text). Flag 2: every rule is
 * tried in turn on the result of the previous ones (else the first rule that
 * applies ends the work). The caller's buffer result must hold the whole
 * result; morphtbl_n is the form that knows its size. old and result may be
 * the same buffer. */
BASALT_API int morphtbl(char *old, Morphtbl *morphmap, int flags,
                        char *result);

/* morphtbl into a buffer of `size` bytes: -1, with result left empty (when
 * size is not 0), when the result and its NUL would not fit. */
BASALT_API int morphtbl_n(char *old, Morphtbl *morphmap, int flags,
                          char *result, size_t size);

/* Frees a morph table and its rules. */
BASALT_API void freemorphtbl(Morphtbl *morphmap);

/* Frees one rule: its pattern allocation, compiled pattern and record. */
BASALT_API void freesubmap(void *submap);

/* ---- Station and channel lists ---- */

/* The number (from 1, empty entries counted) of the first entry of the
 * comma-separated list stachans that matches sta and chan; 0 when none;
 * 1 when the list is "*"; -1 when working storage cannot be allocated.
 * Blanks, tabs and newlines are ignored anywhere. An entry is "*", a
 * station expression, or a station expression, ":" and a channel
 * expression; each is matched as by match_string. */
BASALT_API int match_stachans(char *stachans, char *sta, char *chan);

/* 1 when the expression, anchored with "^" and "$" (unless it already
 * starts or ends with them), matches the whole string, else 0. A null or
 * empty expression gives 0; "*" gives 1. An expression that does not
 * compile is complained of. */
BASALT_API int match_string(char *spec, char *string);

/* A new string (malloc'd) holding at most n characters of s, with the
 * blanks at the end of the n-character field removed. */
BASALT_API char *fixfstring(char *s, int n);

BASALT_END_DECLS

#endif
