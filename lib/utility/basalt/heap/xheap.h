/* Named blocks in a mapped file.
 *
 * A heap file keeps any number of named byte strings. It is a sequence of
 * blocks from offset 0 to its end, each starting with a 16-byte header of
 * four signed 32-bit big-endian integers:
 *
 *     0   size    length of the block, header included
 *     4   slen    length of the name with its NUL; 0 marks a free block
 *     8   ndata   length of the data
 *     12  crc     bt_crc32 register from 0 over the name, then the data
 *     16  the name, then the data directly after it; spare bytes up to size
 *
 * The file is mapped shared and changed in place: one process and one
 * thread at a time may use a heap. Blocks and entries stay valid until the
 * next call that writes to the heap (putx, delx, spacex, expandx, collapsex).
 * The heap grows its file (reserving the disk space first, so a full disk is
 * an error return) or compacts it when no free block fits; putx never loses
 * the old value of a name when no room can be made.
 *
 * A file whose block chain or headers do not hold together is refused by
 * openx with the message "corrupt block at %x\n"; a block whose CRC does not
 * match is reported and kept.
 */
#ifndef BASALT_XHEAP_H
#define BASALT_XHEAP_H

#include <stdio.h>

#include "arrays.h"
#include "basalt_api.h"
#include "tbl.h"

/* A block header in host order. */
typedef struct Xhdr {
    int size;
    int slen;
    int ndata;
    int crc;
} Xhdr;

/* One block: where it starts in the mapping, its size, and for a used block
 * its name, data and data length (in the mapping). */
typedef struct Xentry {
    char *block;
    int size;
    char *name;
    char *data;
    int ndata;
} Xentry;

/* An open heap: the file name, the mapping and its length, the free blocks
 * (a list of Xentry pointers in address order) and the used blocks by name. */
typedef struct Xheap {
    char *filename;
    char *data;
    int size;
    Tbl *free;
    Arr *heap;
} Xheap;

BASALT_BEGIN_DECLS

/* Opens the heap file, creating it with size bytes (at least 17) when it does
 * not exist. Null on failure. */
BASALT_API Xheap *openx(char *filename, int size);
/* Unmaps and frees the heap and sets *x to null; the result of the unmapping. */
BASALT_API int closex(Xheap **x);
/* Stores ndata bytes under name, replacing any earlier value. 0, or -1 when
 * no room could be made (the earlier value is then kept). */
BASALT_API int putx(Xheap *x, char *name, char *data, int ndata);
/* Copies the value of name into the caller's growable buffer (*data, capacity
 * *datasize) and stores its length at *ndata. 0, or -1 when name is absent. */
BASALT_API int getx(Xheap *x, char *name, char **data, int *ndata, int *datasize);
/* Frees the block of name, when there is one. */
BASALT_API void delx(Xheap *x, char *name);
/* A new list of the names in name order; the names are lent by the heap. */
BASALT_API Tbl *namesx(Xheap *x);
/* A block of at least required bytes from the free space, growing or
 * compacting the file once when needed; null when none can be had. */
BASALT_API Xentry *spacex(Xheap *x, int required);
/* First fit from the free blocks; null with the total of the free sizes at
 * *freebytes when none fits (0 is stored on success). */
BASALT_API Xentry *unusedx(Xheap *x, int required, int *freebytes);
/* Moves the used blocks down to the start of the file and leaves one free
 * block after them. */
BASALT_API void collapsex(Xheap *x);
/* Grows the file by the larger of 2 * required and its length. 0, or -1
 * (the heap then stays as it was). */
BASALT_API int expandx(Xheap *x, int required);
/* Checks the block layout; the number of faults counted. With flag set every
 * block is shown through the error log. */
BASALT_API int verifyx(Xheap *x, int flag);
/* Lists every block in address order on file, then the total. */
BASALT_API void showx(FILE *file, Xheap *x, int flag);
/* Debugging print of msg and the blocks of a list on standard output. */
BASALT_API void showlist(char *msg, Tbl *list);

BASALT_END_DECLS

#endif
