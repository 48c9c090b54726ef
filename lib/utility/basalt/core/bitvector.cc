// Bit vectors over lists, bit files, and the flag-bit helpers.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "elog.h"
#include "listfile.h"
#include "tbl.h"

namespace {

// Word element of the vector; a word the vector does not hold reads as 0.
uint32_t getelement(Bitvector *bvec, int element) {
    void *p = gettbl(bvec, element);
    if (bvec->direct) {
        if (p == nullptr) return 0;
        uint32_t word;
        std::memcpy(&word, p, sizeof word);
        return word;
    }
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}

// Stores word at element: the word's address for a direct list, the word
// itself for a pointer list. Extends the vector when needed.
void putelement(Bitvector *bvec, int element, uint32_t word) {
    if (bvec->direct)
        settbl(bvec, element, &word);
    else
        settbl(bvec, element, reinterpret_cast<void *>(static_cast<uintptr_t>(word)));
}

// Word index and mask of bit index (the index taken as unsigned).
inline int word_of(int index) { return static_cast<int>(static_cast<uint32_t>(index) / 32); }
inline uint32_t mask_of(int index) {
    return uint32_t{1} << (31 - static_cast<uint32_t>(index) % 32);
}

// A new result vector: a pointer list without a null value, right step 1.
Bitvector *new_result() {
    return inittbl(0, 1, 0, nullptr, static_cast<int>(sizeof(void *)));
}

enum class Op { kAnd, kOr, kXor };

Bitvector *combine(Bitvector *b1, Bitvector *b2, Op op) {
    int n1 = maxtbl(b1), n2 = maxtbl(b2);
    int n = op == Op::kAnd ? (n1 < n2 ? n1 : n2) : (n1 > n2 ? n1 : n2);
    Bitvector *result = new_result();
    for (int i = 0; i < n; i++) {
        uint32_t w1 = getelement(b1, i), w2 = getelement(b2, i);
        uint32_t w = op == Op::kAnd ? (w1 & w2) : op == Op::kOr ? (w1 | w2) : (w1 ^ w2);
        putelement(result, i, w);
    }
    return result;
}

}  // namespace

extern "C" {

Bitvector *bitfile(char *filename, int nbits) {
    double words = std::ceil(static_cast<double>(nbits) / 32 + 0.5);
    Bitvector *b = nullptr;
    if (filetbl(filename, const_cast<char *>("bit-vector"), static_cast<int>(words), nullptr,
                4, &b) != 0) {
        if (b != nullptr) freetbl(b, nullptr);
        return nullptr;
    }
    // The words are read and written 4 bytes at a time.
    if (!b->direct || b->entry_size != 4) {
        elog_log(0, "%s is not a bit file: entry size %d.\n", filename, b->entry_size);
        freetbl(b, nullptr);
        return nullptr;
    }
    return b;
}

int bitset(Bitvector *bvec, int index) {
    int element = word_of(index);
    uint32_t mask = mask_of(index);
    uint32_t word = getelement(bvec, element);
    int was = (word & mask) != 0;
    putelement(bvec, element, word | mask);
    return was;
}

int bitclr(Bitvector *bvec, int index) {
    int element = word_of(index);
    uint32_t mask = mask_of(index);
    uint32_t word = getelement(bvec, element);
    int was = (word & mask) != 0;
    putelement(bvec, element, word & ~mask);
    return was;
}

int bittst(Bitvector *bvec, int index) {
    return (getelement(bvec, word_of(index)) & mask_of(index)) != 0;
}

int bitmax(Bitvector *b) {
    return static_cast<int>(static_cast<uint32_t>(maxtbl(b)) * 32u);
}

int bitcmp(Bitvector *b1, Bitvector *b2) {
    int n1 = maxtbl(b1), n2 = maxtbl(b2);
    int n = n1 < n2 ? n1 : n2;
    for (int i = 0; i < n; i++) {
        uint32_t w1 = getelement(b1, i), w2 = getelement(b2, i);
        if (w1 > w2) return 1;
        if (w1 < w2) return -1;
    }
    if (n1 > n2) return 1;
    if (n1 < n2) return -1;
    return 0;
}

// Exported as "bitand" and "bitor" (see listfile.h).
Bitvector *bitvector_and(Bitvector *b1, Bitvector *b2) { return combine(b1, b2, Op::kAnd); }

Bitvector *bitvector_or(Bitvector *b1, Bitvector *b2) { return combine(b1, b2, Op::kOr); }

Bitvector *bitxor(Bitvector *b1, Bitvector *b2) { return combine(b1, b2, Op::kXor); }

Bitvector *bitnot(Bitvector *b) {
    int n = maxtbl(b);
    Bitvector *result = new_result();
    for (int i = 0; i < n; i++) putelement(result, i, ~getelement(b, i));
    return result;
}

void setabit(int *flag, int abit) { *flag |= abit; }

void clrabit(int *flag, int abit) { *flag &= ~abit; }

}  // extern "C"
