// How many states the C library's engine can build for a pattern, counted.
//
// The engine matches with an automaton whose states are the sets of places
// of the pattern a match can be at after some text, built as the text asks
// for them and kept for the life of the compiled pattern. The syntactic
// estimate of pattern_cost_private.h bounds that number from above, and
// overestimates much: a run of literals, an alternation of fixed strings
// (it behaves like a dictionary automaton) or a short run of one class
// behind ".*" keeps the states few. Where the estimate is over its bound the
// check counts the states instead: it builds the pattern's places as the
// engine does (each repetition copied: "x{2,4}" is x x (x (x)?)?, "x+" is
// x x*), with the constraints of its anchors, splits the bytes into the
// classes the pattern tells apart, and runs the subset construction from
// the start of a match until it has every state or the budget is spent.
//
// The count takes time and memory in proportion to what it has built, and
// gives up (as over the budget) when the places, the links between them,
// the stored states or its work pass their limits, or memory runs out. It
// uses malloc alone and everything is inline, so that each library of the
// system (also the database library, which must not need the C++ runtime)
// compiles its own copy with hidden visibility.
#ifndef BASALT_PATTERN_STATES_PRIVATE_H
#define BASALT_PATTERN_STATES_PRIVATE_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "pattern_syntax_private.h"

namespace basalt {
namespace pattern_cost {
namespace states {

// The budget: a pattern may give the engine at most kMaxStates states, each
// costing it a table of transitions and its set of places, and at most
// kMaxStatePlaces places over all its states.
// With about 2 KB a state and a few bytes a place, the engine keeps at
// most some 16 MB for a pattern within it.
constexpr std::size_t kMaxStates = 4000;
constexpr std::size_t kMaxStatePlaces = 1000000;

// Limits of the count itself.
constexpr std::size_t kMaxPlaces = 20000;
constexpr std::size_t kMaxLinks = 400000;
constexpr std::size_t kMaxList = 8192;
constexpr std::uint64_t kMaxWork = 10000000;

// What an anchor asks of the characters around it, one bit each. The start
// of the text is no word character; nor is its end.
enum : std::uint32_t {
    kPrevWord = 1,
    kPrevNotWord = 2,
    kPrevStart = 4,
    kNextWord = 8,
    kNextNotWord = 16,
    kNextEnd = 32,
};
constexpr std::uint32_t kPrevBits = kPrevWord | kPrevNotWord | kPrevStart;
constexpr std::uint32_t kNextBits = kNextWord | kNextNotWord | kNextEnd;
constexpr int kMaskBits = 6;

// Constraints no text can meet.
inline bool contradicts(std::uint32_t m) {
    return ((m & kPrevWord) && (m & (kPrevNotWord | kPrevStart))) ||
           ((m & kNextWord) && (m & (kNextNotWord | kNextEnd)));
}

// Sorts a[0..n) by less: by insertion when short, else heapsort (in place,
// without recursion, n log n whatever the input). Written here rather than
// taken from the standard library, whose templates some compilers leave
// visible outside the library.
template <typename T, typename Less>
void sort_values(T *a, std::size_t n, Less less) {
    if (n <= 16) {
        for (std::size_t i = 1; i < n; i++) {
            const T v = a[i];
            std::size_t j = i;
            for (; j > 0 && less(v, a[j - 1]); j--) a[j] = a[j - 1];
            a[j] = v;
        }
        return;
    }
    auto sift = [&](std::size_t root, std::size_t end) {
        const T v = a[root];
        for (std::size_t child = 2 * root + 1; child < end; child = 2 * root + 1) {
            if (child + 1 < end && less(a[child], a[child + 1])) child++;
            if (!less(v, a[child])) break;
            a[root] = a[child];
            root = child;
        }
        a[root] = v;
    };
    for (std::size_t i = n / 2; i-- > 0;) sift(i, n);
    for (std::size_t end = n - 1; end > 0; end--) {
        const T top = a[0];
        a[0] = a[end];
        a[end] = top;
        sift(0, end);
    }
}

// Sorts unsigned integers by their bytes, the lowest first, through a
// buffer of as many; false when there is no memory for it.
template <typename T>
bool radix_sort(T *a, std::size_t n) {
    T *buffer = static_cast<T *>(std::malloc(n * sizeof(T)));
    if (buffer == nullptr) return false;
    T *from = a, *to = buffer;
    for (unsigned shift = 0; shift < 8 * sizeof(T); shift += 8) {
        std::size_t at[257] = {};
        for (std::size_t i = 0; i < n; i++) at[((from[i] >> shift) & 255) + 1]++;
        if (at[((from[0] >> shift) & 255) + 1] == n) continue;  // one byte value throughout
        for (int b = 0; b < 256; b++) at[b + 1] += at[b];
        for (std::size_t i = 0; i < n; i++) to[at[(from[i] >> shift) & 255]++] = from[i];
        T *t = from;
        from = to;
        to = t;
    }
    if (from != a) std::memcpy(a, from, n * sizeof(T));
    std::free(buffer);
    return true;
}

// std::move, written here as sort_values is: the standard library's
// templates may be left visible outside the library.
template <typename T>
T &&moved(T &v) {
    return static_cast<T &&>(v);
}

// Merges the sorted values of a and b, each without repeats, into out
// (room for na + nb): how many.
template <typename T>
std::size_t merge_values(const T *a, std::size_t na, const T *b, std::size_t nb, T *out) {
    std::size_t i = 0, j = 0, k = 0;
    while (i < na && j < nb) {
        if (a[i] < b[j]) {
            out[k++] = a[i++];
        } else {
            if (!(b[j] < a[i])) i++;
            out[k++] = b[j++];
        }
    }
    while (i < na) out[k++] = a[i++];
    while (j < nb) out[k++] = b[j++];
    return k;
}

// A growable array of plain values, on malloc; push() and reserve() return
// false when memory runs out.
template <typename T>
struct Array {
    T *data = nullptr;
    std::size_t size = 0;
    std::size_t cap = 0;

    Array() = default;
    Array(const Array &) = delete;
    Array &operator=(const Array &) = delete;
    Array(Array &&o) noexcept : data(o.data), size(o.size), cap(o.cap) {
        o.data = nullptr;
        o.size = o.cap = 0;
    }
    Array &operator=(Array &&o) noexcept {
        if (this != &o) {
            std::free(data);
            data = o.data;
            size = o.size;
            cap = o.cap;
            o.data = nullptr;
            o.size = o.cap = 0;
        }
        return *this;
    }
    ~Array() { std::free(data); }

    bool reserve(std::size_t n) {
        if (n <= cap) return true;
        std::size_t c = cap != 0 ? cap : 16;
        while (c < n) {
            if (c > SIZE_MAX / 2 / sizeof(T)) return false;
            c *= 2;
        }
        void *p = std::realloc(data, c * sizeof(T));
        if (p == nullptr) return false;
        data = static_cast<T *>(p);
        cap = c;
        return true;
    }
    bool push(const T &v) {
        if (size == cap && !reserve(size + 1)) return false;
        data[size++] = v;
        return true;
    }
    std::size_t bytes() const { return cap * sizeof(T); }
    // For arrays of unsigned integers.
    void sort_unique() {
        if (size <= 256 || !radix_sort(data, size)) sort_values(data, size, [](T a, T b) { return a < b; });
        std::size_t k = 0;
        for (std::size_t i = 0; i < size; i++)
            if (k == 0 || data[k - 1] < data[i]) data[k++] = data[i];
        size = k;
    }
};

// The pattern as a tree.
enum Kind : std::uint8_t { kRead, kAnchor, kCat, kAlt, kRepeat };

struct Node {
    Kind kind = kCat;
    int child = -1;  // first child (kCat, kAlt, kRepeat)
    int next = -1;   // next sibling
    int last = -1;   // last child, while children are added
    int set = -1;    // kRead: index of its set of bytes
    long m = 0;      // kRepeat: {m,n}, n < 0 for no upper bound
    long n = 0;
    std::uint64_t masks = 0;  // kAnchor: the constraints it may stand for, one bit per mask
};

// Reads a pattern as pattern_cost::measure() does; fails on what the engine
// would refuse or measure() would have refused.
class Parser {
public:
    explicit Parser(const char *s) : s_(s) {}

    // The root node, or -1.
    int parse() {
        const int root = alternation(0);
        if (root < 0 || !ok_ || s_[i_] != '\0') return -1;
        return root;
    }

    Array<Node> nodes;
    Array<Chars> sets;
    bool anchors = false;  // the pattern holds an anchor

private:
    int fail() {
        ok_ = false;
        return -1;
    }
    int add(Kind kind) {
        Node n;
        n.kind = kind;
        if (!nodes.push(n)) return fail();
        return static_cast<int>(nodes.size - 1);
    }
    void append(int parent, int child) {
        Node &p = nodes.data[parent];
        if (p.last < 0)
            p.child = child;
        else
            nodes.data[p.last].next = child;
        p.last = child;
    }
    int read(const Chars &set) {
        if (!sets.push(set)) return fail();
        const int r = add(kRead);
        if (r >= 0) nodes.data[r].set = static_cast<int>(sets.size - 1);
        return r;
    }
    int anchor(std::uint64_t masks) {
        anchors = true;
        const int a = add(kAnchor);
        if (a >= 0) nodes.data[a].masks = masks;
        return a;
    }
    static std::uint64_t mask(std::uint32_t m) { return std::uint64_t{1} << m; }

    int alternation(int depth) {
        if (depth > kMaxDepth) return fail();
        const int alt = add(kAlt);
        if (alt < 0) return -1;
        for (;;) {
            const int b = branch(depth);
            if (b < 0) return -1;
            append(alt, b);
            if (s_[i_] != '|') return alt;
            i_++;
        }
    }

    int branch(int depth) {
        const int cat = add(kCat);
        if (cat < 0) return -1;
        int item = -1;  // the last item, not yet added: a repetition wraps it
        bool repeated = false;
        for (;;) {
            const char c = s_[i_];
            if (c == '\0' || c == '|' || (c == ')' && depth > 0)) break;
            long m = 0, n = 0;
            std::size_t next = i_ + 1;
            bool repetition = true;
            if (c == '*') {
                n = -1;
            } else if (c == '+') {
                m = 1;
                n = -1;
            } else if (c == '?') {
                n = 1;
            } else if (c != '{' || !read_interval(s_, i_, &m, &n, &next)) {
                repetition = false;
            }
            if (repetition) {
                if (item < 0 || repeated) return fail();
                const int r = add(kRepeat);
                if (r < 0) return -1;
                nodes.data[r].child = item;
                nodes.data[r].m = m;
                nodes.data[r].n = n;
                item = r;
                repeated = true;
                i_ = next;
                continue;
            }
            if (item >= 0) append(cat, item);
            repeated = false;
            item = atom(depth);
            if (item < 0) return -1;
        }
        if (item >= 0) append(cat, item);
        return cat;
    }

    int atom(int depth) {
        const char c = s_[i_];
        Chars set;
        switch (c) {
            case '\\': {
                const char e = s_[i_ + 1];
                if (e >= '1' && e <= '9') return fail();
                i_ += e != '\0' ? 2 : 1;
                switch (e) {
                    case '`':
                        return anchor(mask(kPrevStart));
                    case '\'':
                        return anchor(mask(kNextEnd));
                    case '<':
                        return anchor(mask(kPrevNotWord | kNextWord));
                    case '>':
                        return anchor(mask(kPrevWord | kNextNotWord));
                    case 'b':
                        return anchor(mask(kPrevNotWord | kNextWord) | mask(kPrevWord | kNextNotWord));
                    case 'B':
                        return anchor(mask(kPrevWord | kNextWord) | mask(kPrevNotWord | kNextNotWord));
                    default:
                        break;
                }
                if (!escape_class(e, &set)) set = Chars::one(static_cast<unsigned char>(e != '\0' ? e : c));
                return read(set);
            }
            case '[':
                i_ = read_bracket(s_, i_, &set);
                return read(set);
            case '.':
                i_++;
                return read(Chars::all());
            case '^':
                i_++;
                return anchor(mask(kPrevStart));
            case '$':
                i_++;
                return anchor(mask(kNextEnd));
            case '(': {
                i_++;
                const int g = alternation(depth + 1);
                if (g < 0) return -1;
                if (s_[i_] != ')') return fail();  // left open: the engine refuses it
                i_++;
                return g;
            }
            default:
                i_++;
                return read(Chars::one(static_cast<unsigned char>(c)));
        }
    }

    const char *s_;
    std::size_t i_ = 0;
    bool ok_ = true;
};

// The places of the pattern and the links between them, built from the
// tree. An entry of a list is a place and the constraints met on the way to
// it: place << kMaskBits | mask.
class Places {
public:
    explicit Places(const Parser &p) : p_(p) {}

    // A fragment: the entries a match of it can start with, those it can
    // end with (the mask: constraints after the place), and the masks of its
    // ways through that read nothing (bit m: mask m; none: it cannot match
    // the empty text).
    struct Frag {
        Array<std::uint32_t> first;
        Array<std::uint32_t> last;
        std::uint64_t empty = 0;
    };

    // Builds the places of the tree at root followed by the end of the
    // pattern, the last place, which reads nothing.
    bool build(int root) {
        Frag f = frag(root);
        if (!ok) return false;
        Frag end;
        const std::uint32_t e = place(-1);
        if (!ok || !end.first.push(e << kMaskBits) || !end.last.push(e << kMaskBits)) return false;
        Frag whole = cat(f, end);
        if (!ok) return false;
        start = moved(whole.first);
        return index_links();
    }

    bool ok = true;
    std::uint64_t work = 0;
    Array<int> set_of;                 // per place: its set of bytes, -1 for the end
    Array<std::uint32_t> start;        // the entries a match starts with
    Array<std::uint32_t> link_from;    // per place + 1: where its links start in links
    Array<std::uint32_t> links;        // entries following each place

    std::size_t bytes() const {
        return set_of.bytes() + start.bytes() + link_from.bytes() + links.bytes() + pairs_.bytes();
    }

private:
    bool spend(std::uint64_t units) {
        work += units;
        if (work > kMaxWork) ok = false;
        return ok;
    }
    std::uint32_t place(int set) {
        if (set_of.size >= kMaxPlaces || !set_of.push(set)) ok = false;
        return static_cast<std::uint32_t>(set_of.size - 1);
    }
    void add_link(std::uint32_t from, std::uint32_t entry) {
        if (contradicts(entry & ((1u << kMaskBits) - 1))) return;
        if (pairs_.size >= kMaxLinks || !pairs_.push(std::uint64_t{from} << 32 | entry)) ok = false;
    }

    // Appends the entries of a, each with every mask of the mask set e
    // added, to *out.
    void join(const Array<std::uint32_t> &a, std::uint64_t e, Array<std::uint32_t> *out) {
        if (!spend(a.size * 2 + 1)) return;
        for (std::size_t i = 0; i < a.size && ok; i++)
            for (std::uint32_t m = 0; m < 64; m++)
                if (e >> m & 1) {
                    const std::uint32_t x = a.data[i] | m;
                    if (!contradicts(x & 63) && !out->push(x)) ok = false;
                }
    }
    static std::uint64_t product(std::uint64_t a, std::uint64_t b) {
        std::uint64_t p = 0;
        for (std::uint32_t i = 0; i < 64; i++)
            if (a >> i & 1)
                for (std::uint32_t j = 0; j < 64; j++)
                    if ((b >> j & 1) && !contradicts(i | j)) p |= std::uint64_t{1} << (i | j);
        return p;
    }
    void append(Array<std::uint32_t> *to, const Array<std::uint32_t> &from) {
        if (!spend(from.size + 1) || !to->reserve(to->size + from.size)) {
            ok = false;
            return;
        }
        for (std::size_t i = 0; i < from.size; i++) to->data[to->size++] = from.data[i];
    }
    void tidy(Frag *f) {
        if (!spend(f->first.size + f->last.size)) return;
        f->first.sort_unique();
        f->last.sort_unique();
        if (f->first.size > kMaxList || f->last.size > kMaxList) ok = false;
    }

    // Links every entry a match can end with to every one it can go on with.
    void link(const Array<std::uint32_t> &last, const Array<std::uint32_t> &first) {
        if (!spend(last.size * first.size + 1)) return;
        for (std::size_t i = 0; i < last.size && ok; i++)
            for (std::size_t j = 0; j < first.size && ok; j++)
                add_link(last.data[i] >> kMaskBits, first.data[j] | (last.data[i] & 63));
    }

    // a then b.
    Frag cat(Frag &a, Frag &b) {
        Frag c;
        link(a.last, b.first);
        if (!ok) return c;
        c.first = moved(a.first);
        if (a.empty != 0) join(b.first, a.empty, &c.first);
        c.last = moved(b.last);
        if (b.empty != 0) join(a.last, b.empty, &c.last);
        c.empty = product(a.empty, b.empty);
        tidy(&c);
        return c;
    }
    Frag alt(Frag &a, Frag &b) {
        Frag c;
        c.first = moved(a.first);
        append(&c.first, b.first);
        c.last = moved(a.last);
        append(&c.last, b.last);
        c.empty = a.empty | b.empty;
        tidy(&c);
        return c;
    }
    // a*: the way through a that reads nothing must be free of constraints.
    Frag star(Frag &a) {
        if ((a.empty & ~std::uint64_t{1}) != 0) ok = false;
        Frag c;
        if (ok) link(a.last, a.first);
        if (!ok) return c;
        c.first = moved(a.first);
        c.last = moved(a.last);
        c.empty = 1;
        return c;
    }
    Frag frag(int id) {
        Frag f;
        if (!ok || !spend(1)) return f;
        const Node &n = p_.nodes.data[id];
        switch (n.kind) {
            case kRead: {
                const std::uint32_t q = place(n.set);
                if (ok && (!f.first.push(q << kMaskBits) || !f.last.push(q << kMaskBits))) ok = false;
                return f;
            }
            case kAnchor:
                f.empty = n.masks;
                return f;
            case kCat:
                f.empty = 1;
                for (int c = n.child; c >= 0 && ok; c = p_.nodes.data[c].next) {
                    Frag g = frag(c);
                    f = cat(f, g);
                }
                return f;
            case kAlt: {
                bool any = false;
                for (int c = n.child; c >= 0 && ok; c = p_.nodes.data[c].next) {
                    Frag g = frag(c);
                    f = any ? alt(f, g) : moved(g);
                    any = true;
                }
                return f;
            }
            case kRepeat:
                return repeat(n);
        }
        return f;
    }

    // x{m,n} as the engine copies it: m copies, then x* or the optional
    // copies nested, each of which may end the repetition.
    Frag repeat(const Node &n) {
        Frag f;
        f.empty = 1;
        for (long i = 0; i < n.m && ok; i++) {
            Frag g = frag(n.child);
            f = cat(f, g);
        }
        if (!ok) return f;
        if (n.n < 0) {
            Frag g = frag(n.child);
            Frag s = star(g);
            return cat(f, s);
        }
        if (n.n > n.m) {
            Frag tail = frag(n.child);
            tail.empty |= 1;
            for (long i = n.n - 1; i > n.m && ok; i--) {
                Frag g = frag(n.child);
                tail = cat(g, tail);
                tail.empty |= 1;
            }
            return cat(f, tail);
        }
        return f;
    }

    // Sorts the links by the place they leave.
    bool index_links() {
        if (!ok || !spend(pairs_.size * 2)) return false;
        pairs_.sort_unique();
        const std::size_t n = set_of.size;
        if (!link_from.reserve(n + 1) || !links.reserve(pairs_.size)) return false;
        std::size_t k = 0;
        for (std::size_t q = 0; q < n; q++) {
            link_from.data[q] = static_cast<std::uint32_t>(k);
            for (; k < pairs_.size && (pairs_.data[k] >> 32) == q; k++)
                links.data[k] = static_cast<std::uint32_t>(pairs_.data[k]);
        }
        link_from.data[n] = static_cast<std::uint32_t>(k);
        link_from.size = n + 1;
        links.size = k;
        return true;
    }

    const Parser &p_;
    Array<std::uint64_t> pairs_;
};

// What the count found.
struct Count {
    bool complete = false;  // every state counted, within the budget
    std::size_t states = 0;
    std::size_t state_places = 0;  // places over all states
    std::uint64_t work = 0;
    std::size_t memory = 0;  // bytes the count held at the end
};

inline std::uint64_t mix(std::uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

// The subset construction.
class Subsets {
public:
    Subsets(const Parser &parser, Places &places) : parser_(parser), pl_(places) {}

    // Stops at the state that would pass the budget.
    Count run(std::size_t max_states, std::size_t max_state_places) {
        max_states_ = max_states;
        max_state_places_ = max_state_places;
        if (classes() && add_state(pl_.start, kPrevStart | kPrevNotWord))
            for (std::size_t s = 0; s < count_ && ok_; s++) step(s);
        return finish();
    }

private:
    Count finish() const {
        Count c;
        c.complete = ok_;
        c.states = count_;
        c.state_places = entries_.size;
        c.work = pl_.work;
        c.memory = pl_.bytes() + reads_.bytes() + active_.bytes() + entries_.bytes() + from_.bytes() +
                    hash_.bytes() + context_.bytes() + table_.bytes() + scratch_.bytes() + next_.bytes() +
                    partial_.bytes() + readers_.bytes() + base_.bytes() + merged_.bytes() + touched_.bytes() +
                    seen_.bytes() + masks_.bytes();
        return c;
    }
    bool spend(std::uint64_t units) {
        pl_.work += units;
        if (pl_.work > kMaxWork) ok_ = false;
        return ok_;
    }

    // Splits the bytes into the classes no set of the pattern (nor the word
    // characters, where an anchor looks at them) tells apart.
    bool classes() {
        std::uint16_t of[256] = {};
        int n = 1;
        Chars word;
        word.add('A', 'Z');
        word.add('a', 'z');
        word.add('0', '9');
        word.add('_');
        auto refine = [&](const Chars &set) {
            int map[2 * 256];
            for (int &m : map) m = -1;
            int k = 0;
            for (unsigned b = 0; b < 256; b++) {
                const int key = of[b] * 2 + set.has(b);
                if (map[key] < 0) map[key] = k++;
                of[b] = static_cast<std::uint16_t>(map[key]);
            }
            n = k;
        };
        if (parser_.anchors) refine(word);
        const Chars *prev = nullptr;
        for (std::size_t i = 0; i < parser_.sets.size; i++) {
            const Chars &s = parser_.sets.data[i];
            if (prev != nullptr && std::memcmp(prev, &s, sizeof s) == 0) continue;
            if (!spend(256)) return false;
            refine(s);
            prev = &s;
        }
        nclasses_ = n;
        for (unsigned b = 0; b < 256; b++) rep_[of[b]] = b;
        for (int k = 0; k < n; k++) {
            all_.add(k);
            if (word.has(rep_[k])) word_.add(k);
        }
        // Per place: the classes it reads.
        const std::size_t np = pl_.set_of.size;
        if (!reads_.reserve(np) || !seen_.reserve(np) || !masks_.reserve(np) || !spend(np * 4))
            return fail();
        seen_.size = masks_.size = reads_.size = np;
        std::memset(seen_.data, 0, np * sizeof *seen_.data);
        for (std::size_t q = 0; q < np; q++) {
            Chars &r = reads_.data[q];
            r = Chars();
            const int set = pl_.set_of.data[q];
            if (set < 0) continue;
            const Chars &s = parser_.sets.data[set];
            if (!spend(static_cast<std::uint64_t>(n))) return false;
            for (int k = 0; k < n; k++)
                if (s.has(rep_[k])) r.add(k);
        }
        return true;
    }
    bool fail() {
        ok_ = false;
        return false;
    }

    // Adds the state of the entries in next (sorted, unique), met after a
    // character of context ctx (the prev bits it meets): the entries whose
    // constraints before them it meets, with those after them. Where the
    // pattern has anchors the engine keeps a state apart for each context
    // it is met in.
    bool add_state(const Array<std::uint32_t> &next, std::uint32_t ctx) {
        scratch_.size = 0;
        // Without the bits met before them, the entries of one place may
        // repeat or fall out of order among themselves: each place's are
        // put in order apart.
        for (std::size_t i = 0; i < next.size;) {
            const std::uint32_t place = next.data[i] >> kMaskBits;
            std::uint64_t masks = 0;
            for (; i < next.size && next.data[i] >> kMaskBits == place; i++) {
                const std::uint32_t e = next.data[i];
                if ((e & kPrevBits & ~ctx) == 0) masks |= std::uint64_t{1} << (e & kNextBits);
            }
            for (; masks != 0; masks &= masks - 1)
                if (!scratch_.push(place << kMaskBits | static_cast<std::uint32_t>(__builtin_ctzll(masks))))
                    return fail();
        }
        if (scratch_.size == 0) return true;  // no match goes on
        const std::uint8_t context = parser_.anchors ? static_cast<std::uint8_t>(ctx) : 0;
        std::uint64_t h = scratch_.size * 8 + context;
        for (std::size_t i = 0; i < scratch_.size; i++) h = (h ^ scratch_.data[i]) * 0x9e3779b97f4a7c15ULL;
        h = mix(h);
        if (!spend(scratch_.size + 1)) return false;
        if (count_ * 2 >= table_.size && !grow()) return fail();
        const std::size_t mask = table_.size - 1;
        for (std::size_t slot = h & mask;; slot = (slot + 1) & mask) {
            const std::uint32_t id = table_.data[slot];
            if (id == 0) {
                table_.data[slot] = static_cast<std::uint32_t>(count_ + 1);
                break;
            }
            const std::size_t s = id - 1;
            if (hash_.data[s] == h && context_.data[s] == context && len(s) == scratch_.size &&
                std::memcmp(entries_.data + from_.data[s], scratch_.data, scratch_.size * 4) == 0)
                return true;
        }
        if (count_ >= max_states_ || entries_.size + scratch_.size > max_state_places_) return fail();
        if (!from_.push(static_cast<std::uint32_t>(entries_.size)) || !hash_.push(h) || !context_.push(context) ||
            !entries_.reserve(entries_.size + scratch_.size))
            return fail();
        std::memcpy(entries_.data + entries_.size, scratch_.data, scratch_.size * 4);
        entries_.size += scratch_.size;
        count_++;
        return true;
    }
    std::size_t len(std::size_t s) const {
        const std::size_t end = s + 1 < count_ ? from_.data[s + 1] : entries_.size;
        return end - from_.data[s];
    }
    bool grow() {
        const std::size_t n = table_.size != 0 ? table_.size * 2 : 1024;
        Array<std::uint32_t> t;
        if (!t.reserve(n)) return false;
        t.size = n;
        std::memset(t.data, 0, n * 4);
        for (std::size_t s = 0; s < count_; s++)
            for (std::size_t slot = hash_.data[s] & (n - 1);; slot = (slot + 1) & (n - 1))
                if (t.data[slot] == 0) {
                    t.data[slot] = static_cast<std::uint32_t>(s + 1);
                    break;
                }
        table_ = moved(t);
        return spend(n);
    }

    // Every state one character leads to from state s.
    void step(std::size_t s) {
        const std::size_t from = from_.data[s], n = len(s);
        if (!spend(n * 4 + static_cast<std::uint64_t>(nclasses_))) return;
        // Entries that read every class (".*") lead to the same places
        // whatever the character: their links are gathered once, in base_.
        // For every other class, which of the other entries read it, as a
        // hash and a count.
        std::uint64_t sig[256];
        std::uint32_t cnt[256];
        for (int k = 0; k < nclasses_; k++) sig[k] = cnt[k] = 0;
        if (!active_.reserve(n) || !partial_.reserve(n)) {
            fail();
            return;
        }
        partial_.size = 0;
        begin_gather();
        for (std::size_t i = 0; i < n; i++) {
            const std::uint32_t e = entries_.data[from + i];
            Chars reads = reads_.data[e >> kMaskBits];
            bool every = true;
            for (int w = 0; w < 4; w++) {
                std::uint64_t &bits = reads.bits[w];
                if (e & kNextEnd) bits = 0;
                if (e & kNextWord) bits &= word_.bits[w];
                if (e & kNextNotWord) bits &= ~word_.bits[w];
                every = every && bits == all_.bits[w];
            }
            if (every) {
                if (!gather(e >> kMaskBits)) return;
                continue;
            }
            active_.data[partial_.size] = reads;
            const std::uint64_t key = mix(e + 1);
            std::uint64_t read = 0;
            for (int w = 0; w < 4; w++) {
                for (std::uint64_t b = reads.bits[w]; b != 0; b &= b - 1, read++) {
                    const int k = w * 64 + __builtin_ctzll(b);
                    sig[k] += key;
                    cnt[k]++;
                }
            }
            if (!spend(read)) return;
            partial_.data[partial_.size++] = static_cast<std::uint32_t>(from + i);
        }
        if (!end_gather(&base_)) return;
        // Per class, the entries of partial_ that read it.
        std::uint32_t at[257];
        at[0] = 0;
        for (int k = 0; k < nclasses_; k++) at[k + 1] = at[k] + cnt[k];
        if (!readers_.reserve(at[nclasses_])) {
            fail();
            return;
        }
        {
            std::uint32_t fill[256];
            for (int k = 0; k < nclasses_; k++) fill[k] = at[k];
            for (std::size_t i = 0; i < partial_.size; i++)
                for (int w = 0; w < 4; w++)
                    for (std::uint64_t b = active_.data[i].bits[w]; b != 0; b &= b - 1)
                        readers_.data[fill[w * 64 + __builtin_ctzll(b)]++] = static_cast<std::uint32_t>(i);
        }
        // Classes that read the same entries and are alike around an anchor
        // lead to the same state: one of them stands for all.
        int order[256];
        int m = 0;
        for (int k = 0; k < nclasses_; k++) {
            if (cnt[k] == 0 && base_.size == 0) continue;
            if (parser_.anchors && word(k)) sig[k] = mix(sig[k] ^ 0x5bd1e995);
            order[m++] = k;
        }
        sort_values(order, static_cast<std::size_t>(m),
                    [&](int a, int b) { return sig[a] != sig[b] ? sig[a] < sig[b] : a < b; });
        int rep = -1;
        for (int j = 0; j < m && ok_; j++) {
            const int k = order[j];
            if (rep >= 0 && sig[rep] == sig[k] && cnt[rep] == cnt[k] && same(rep, k, at)) continue;
            rep = k;
            begin_gather();
            for (std::uint32_t r = at[k]; r < at[k + 1] && ok_; r++)
                if (!gather(entries_.data[partial_.data[readers_.data[r]]] >> kMaskBits)) return;
            if (!end_gather(&next_) || !spend(base_.size)) return;
            if (!merged_.reserve(base_.size + next_.size)) {
                fail();
                return;
            }
            merged_.size = merge_values(base_.data, base_.size, next_.data, next_.size, merged_.data);
            add_state(merged_, word(k) ? kPrevWord : kPrevNotWord);
        }
    }
    // The links of several places gathered as a set: per place, the masks
    // met on the way to it, and the places met since begin_gather().
    void begin_gather() {
        touched_.size = 0;
        if (++stamp_ != 0) return;
        std::memset(seen_.data, 0, seen_.size * sizeof *seen_.data);
        stamp_ = 1;
    }
    bool gather(std::uint32_t q) {
        const std::uint32_t b = pl_.link_from.data[q], e = pl_.link_from.data[q + 1];
        if (!spend(e - b + 1)) return false;
        for (std::uint32_t l = b; l < e; l++) {
            const std::uint32_t x = pl_.links.data[l], p = x >> kMaskBits;
            if (seen_.data[p] != stamp_) {
                seen_.data[p] = stamp_;
                masks_.data[p] = 0;
                if (!touched_.push(p)) return fail();
            }
            masks_.data[p] |= std::uint64_t{1} << (x & 63);
        }
        return true;
    }
    // The gathered entries, in order, in *to.
    bool end_gather(Array<std::uint32_t> *to) {
        to->size = 0;
        if (!spend(touched_.size * 4)) return false;
        touched_.sort_unique();
        for (std::size_t i = 0; i < touched_.size; i++) {
            const std::uint32_t p = touched_.data[i];
            for (std::uint64_t m = masks_.data[p]; m != 0; m &= m - 1)
                if (!to->push(p << kMaskBits | static_cast<std::uint32_t>(__builtin_ctzll(m)))) return fail();
        }
        return true;
    }
    bool word(int k) const { return word_.has(k); }
    // Whether classes a and b, read by as many entries, are read by the same.
    bool same(int a, int b, const std::uint32_t *at) {
        if (parser_.anchors && word(a) != word(b)) return false;
        if (!spend(at[a + 1] - at[a] + 1)) return false;
        for (std::uint32_t r = at[a]; r < at[a + 1]; r++)
            if (!active_.data[readers_.data[r]].has(b)) return false;
        return true;
    }

    const Parser &parser_;
    Places &pl_;
    bool ok_ = true;
    int nclasses_ = 0;
    unsigned rep_[256] = {};
    Chars word_;                      // the classes of word characters
    Array<Chars> reads_;              // per place: the classes it reads
    Chars all_;                       // every class
    Array<Chars> active_;             // per entry in partial_: the classes it reads
    Array<std::uint32_t> partial_;    // entries of the state being stepped that read some classes
    Array<std::uint32_t> readers_;    // per class in turn, the entries of partial_ that read it
    Array<std::uint32_t> base_;       // links of the entries that read every class
    Array<std::uint32_t> merged_;
    Array<std::uint32_t> touched_;    // places met by the links gathered
    Array<std::uint32_t> seen_;       // per place: the stamp of the last gathering that met it
    Array<std::uint64_t> masks_;      // per place: the masks it was met with
    std::uint32_t stamp_ = 0;
    Array<std::uint32_t> entries_;    // the states' entries, one after another
    Array<std::uint32_t> from_;       // per state: where its entries start
    Array<std::uint64_t> hash_;       // per state: the hash of its entries and context
    Array<std::uint8_t> context_;     // per state: the context it was met in, where that counts
    Array<std::uint32_t> table_;      // open addressing over state + 1
    Array<std::uint32_t> scratch_;
    Array<std::uint32_t> next_;
    std::size_t count_ = 0;
    std::size_t max_states_ = 0;
    std::size_t max_state_places_ = 0;
};

// Counts the states the engine can build for pattern s, up to the budget.
// complete is false when the count passed the budget or any limit of its
// own, or s is malformed.
inline Count count(const char *s, std::size_t max_states = kMaxStates,
                   std::size_t max_state_places = kMaxStatePlaces) {
    Count c;
    if (s == nullptr) return c;
    Parser parser(s);
    const int root = parser.parse();
    if (root < 0) return c;
    Places places(parser);
    if (!places.build(root)) {
        c.work = places.work;
        c.memory = places.bytes();
        return c;
    }
    Subsets subsets(parser, places);
    return subsets.run(max_states, max_state_places);
}

}  // namespace states
}  // namespace pattern_cost
}  // namespace basalt

#endif
