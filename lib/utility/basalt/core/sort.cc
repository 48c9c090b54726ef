// In-place sorts (quick sort, Shell's sort, straight insertion) and the
// binary search over arrays of fixed-size records.
#include "sort.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "alloc.h"

namespace {

using Compare = int (*)(void *a, void *b, void *pvt);

// Quick sort over records of one size with one comparison.
class QuickSorter {
  public:
    QuickSorter(std::size_t size, Compare compar, void *pvt)
        : size_(size), compar_(compar), pvt_(pvt) {}

    // Sorts n records at bot, n >= 4. Recurses into the smaller part only
    // and goes on with the larger one in the loop.
    void quick_sort(char *bot, std::size_t n) const {
        for (;;) {
            char *start = bot;
            char *mid = at(bot, n / 2);
            char *top = at(bot, n - 1);

            if (n >= 6) {
                int c1 = cmp(bot, mid);
                int c2 = cmp(mid, top);
                char *pick = mid;
                if (c1 < 0 && c2 > 0)
                    pick = cmp(bot, top) < 0 ? top : bot;
                else if (c1 > 0 && c2 < 0)
                    pick = cmp(bot, top) > 0 ? top : bot;
                if (pick != mid) exchange(pick, mid);
            }

            bool exchanged = false;
            for (;;) {
                while (bot < mid && cmp(bot, mid) <= 0) bot += size_;
                bool went_on = false;
                while (top > mid) {
                    if (cmp(mid, top) <= 0) {
                        top -= size_;
                        continue;
                    }
                    exchange(bot, top);
                    if (bot == mid)
                        mid = top;  // the pivot moved to top's place
                    else
                        top -= size_;
                    bot += size_;
                    exchanged = true;
                    went_on = true;
                    break;
                }
                if (went_on) continue;
                if (bot == mid) break;
                // bot holds a record greater than the pivot: swap it in.
                exchange(bot, mid);
                mid = bot;
                top -= size_;
                exchanged = true;
            }

            if (!exchanged) {
                insertion_sort(start, n);
                return;
            }

            std::size_t nlower = static_cast<std::size_t>(mid - start) / size_;
            std::size_t nupper = n - nlower - 1;
            char *upper = mid + size_;
            if (nlower > nupper) {
                if (nupper >= 4)
                    quick_sort(upper, nupper);
                else
                    small_sort(upper, nupper);
                if (nlower < 4) {
                    small_sort(start, nlower);
                    return;
                }
                bot = start;
                n = nlower;
            } else {
                if (nlower >= 4)
                    quick_sort(start, nlower);
                else
                    small_sort(start, nlower);
                if (nupper < 4) {
                    small_sort(upper, nupper);
                    return;
                }
                bot = upper;
                n = nupper;
            }
        }
    }

    // Stable insertion: each record goes behind the last record before it
    // that does not compare greater, the records in between moving up.
    void insertion_sort(char *bot, std::size_t n) const {
        for (std::size_t r = 1; r < n; r++) {
            char *rec = at(bot, r);
            char *place = rec;
            while (place > bot && cmp(rec, place - size_) < 0) place -= size_;
            if (place != rec) rotate_into(place, rec);
        }
    }

    // Moves the record at rec to place (before it), the records in between
    // moving up one place.
    void rotate_into(char *place, char *rec) const {
        constexpr std::size_t kHeld = 64;
        if (size_ <= kHeld) {
            char held[kHeld];
            std::memcpy(held, rec, size_);
            std::memmove(place + size_, place, static_cast<std::size_t>(rec - place));
            std::memcpy(place, held, size_);
        } else {
            std::rotate(place, rec, rec + size_);
        }
    }

    // A part of fewer than 4 records.
    void small_sort(char *bot, std::size_t n) const {
        if (n < 2) return;
        if (n == 2) {
            char *second = at(bot, 1);
            if (cmp(second, bot) < 0) exchange(bot, second);
            return;
        }
        insertion_sort(bot, n);
    }

  private:
    char *at(char *bot, std::size_t i) const { return bot + i * size_; }
    int cmp(char *a, char *b) const { return compar_(a, b, pvt_); }
    void exchange(char *a, char *b) const {
        if (a == b) return;
        switch (size_) {
            case 4: swap_words<uint32_t>(a, b); break;
            case 8: swap_words<uint64_t>(a, b); break;
            default: std::swap_ranges(a, a + size_, b); break;
        }
    }
    template <typename Word>
    static void swap_words(char *a, char *b) {
        Word x, y;
        std::memcpy(&x, a, sizeof x);
        std::memcpy(&y, b, sizeof y);
        std::memcpy(a, &y, sizeof y);
        std::memcpy(b, &x, sizeof x);
    }

    std::size_t size_;
    Compare compar_;
    void *pvt_;
};

// Insertion with the gap sequence that ends in `first_gap`: the gaps are
// taken from it by integer division by 3 down to 1. kSize is the record
// size when it is known at compile time, else 0.
template <std::size_t kSize>
void gapped_insertion_sized(char *base, std::size_t n, std::size_t size,
                            std::size_t first_gap, Compare compare, void *pvt, char *held) {
    const std::size_t rec = kSize ? kSize : size;
    std::size_t h = first_gap;
    while (h > 1) {
        h /= 3;
        for (std::size_t i = h; i < n; i++) {
            std::memcpy(held, base + i * rec, rec);
            std::size_t j = i;
            while (j >= h && compare(base + (j - h) * rec, held, pvt) > 0) {
                std::memcpy(base + j * rec, base + (j - h) * rec, rec);
                j -= h;
            }
            std::memcpy(base + j * rec, held, rec);
        }
    }
}

void gapped_insertion(char *base, std::size_t n, std::size_t size, std::size_t first_gap,
                      Compare compare, void *pvt) {
    char *held = static_cast<char *>(BASALT_MALLOC(size, "s"));
    switch (size) {
        case 4: gapped_insertion_sized<4>(base, n, size, first_gap, compare, pvt, held); break;
        case 8: gapped_insertion_sized<8>(base, n, size, first_gap, compare, pvt, held); break;
        default: gapped_insertion_sized<0>(base, n, size, first_gap, compare, pvt, held); break;
    }
    std::free(held);
}

}  // namespace

extern "C" {

void quicksort(void *bot, int nmemb, int size, int (*compar)(void *a, void *b, void *pvt),
               void *pvt) {
    if (nmemb < 2 || size <= 0) return;
    QuickSorter sorter(static_cast<std::size_t>(size), compar, pvt);
    char *p = static_cast<char *>(bot);
    std::size_t n = static_cast<std::size_t>(nmemb);
    if (n < 4)
        sorter.insertion_sort(p, n);
    else
        sorter.quick_sort(p, n);
}

void shellsort(void *a, int n, int size, int (*compare)(void *a, void *b, void *pvt),
               void *pvt) {
    if (n < 2 || size <= 0) return;
    std::size_t count = static_cast<std::size_t>(n);
    std::size_t h = 1;
    while (h < count) h = 3 * h + 1;
    gapped_insertion(static_cast<char *>(a), count, static_cast<std::size_t>(size), h,
                     compare, pvt);
}

void isort(void *a, int n, int size, int (*compare)(void *a, void *b, void *pvt),
           void *pvt) {
    if (n < 2 || size <= 0) return;
    // A first gap of 3 gives the single gap 1.
    gapped_insertion(static_cast<char *>(a), static_cast<std::size_t>(n),
                     static_cast<std::size_t>(size), 3, compare, pvt);
}

int ssearch(void *key, int keysize, void *index, int nkeys, int unique,
            int (*compare)(void *key, void *record, void *pvt), void *pvt, int *ns,
            int *ne) {
    char *records = static_cast<char *>(index);
    auto record = [&](int i) {
        return records + static_cast<std::ptrdiff_t>(i) * keysize;
    };
    auto equal = [&](int i) { return compare(key, record(i), pvt) == 0; };

    int lo = 0;
    int hi = nkeys - 1;
    int hit = -1;
    while (lo <= hi) {
        int tried = lo + (hi - lo) / 2;
        int result = compare(key, record(tried), pvt);
        if (result < 0) {
            hi = tried - 1;
        } else if (result > 0) {
            lo = tried + 1;
        } else {
            hit = tried;
            break;
        }
    }

    if (hit < 0) {
        *ns = lo;
        *ne = lo - 1;
        return 0;
    }
    if (unique) {
        *ns = *ne = hit;
        return 1;
    }
    if (lo < hi) {
        int e = hit;
        while (e > lo) {
            if (!equal(e - 1)) {
                lo = e;
                break;
            }
            e--;
            int t = lo + (e - lo) / 2;
            if (equal(t))
                e = t;
            else
                lo = t + 1;
        }
        e = hit;
        while (e < hi) {
            if (!equal(e + 1)) {
                hi = e;
                break;
            }
            e++;
            int t = e + (hi - e) / 2;
            if (equal(t))
                e = t;
            else
                hi = t - 1;
        }
    }
    *ns = lo;
    *ne = hi;
    return hi - lo + 1;
}

}  // extern "C"
