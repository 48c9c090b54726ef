// Seeded series of 32-bit samples for the codec tests and benchmarks: the
// same numbers on every host (a generator of our own, no library
// distribution).
#ifndef TEST_SUPPORT_SAMPLE_SERIES_H
#define TEST_SUPPORT_SAMPLE_SERIES_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testsupport {

// SplitMix64.
class SeededRandom {
  public:
    explicit SeededRandom(uint64_t seed) : s_(seed) {}
    uint64_t next() {
        uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t u32() { return static_cast<uint32_t>(next() >> 32); }
    // Uniform in [lo, hi].
    int32_t range(int32_t lo, int32_t hi) {
        uint64_t span = static_cast<uint64_t>(static_cast<int64_t>(hi) - lo) + 1;
        return static_cast<int32_t>(lo + static_cast<int64_t>(next() % span));
    }

  private:
    uint64_t s_;
};

// n seeded random bytes.
inline std::vector<unsigned char> random_bytes(std::size_t n, uint64_t seed) {
    SeededRandom r(seed);
    std::vector<unsigned char> b(n);
    for (auto &c : b) c = static_cast<unsigned char>(r.next() >> 56);
    return b;
}

enum class Shape {
    walk,         // a random walk with mostly small steps and some bursts
    extremes,     // INT32_MIN, INT32_MAX, 0 and their neighbours
    constant,     // long runs of one value
    alternating,  // large values of alternating sign
    full,         // any 32-bit value
    mixed,        // stretches of each of the above
};

inline constexpr Shape kShapes[] = {Shape::walk,        Shape::extremes, Shape::constant,
                                    Shape::alternating, Shape::full,     Shape::mixed};

inline const char *shape_name(Shape s) {
    switch (s) {
        case Shape::walk: return "walk";
        case Shape::extremes: return "extremes";
        case Shape::constant: return "constant";
        case Shape::alternating: return "alternating";
        case Shape::full: return "full";
        default: return "mixed";
    }
}

inline std::vector<int32_t> sample_series(Shape shape, std::size_t n, uint64_t seed) {
    SeededRandom r(seed * 0x100000001B3ull + static_cast<uint64_t>(shape));
    std::vector<int32_t> x(n);
    uint32_t level = r.u32() >> 8;
    Shape now = shape;
    for (std::size_t i = 0; i < n; i++) {
        if (shape == Shape::mixed && i % 37 == 0) now = kShapes[r.next() % 5];
        switch (now) {
            case Shape::walk: {
                int32_t step = (r.next() % 16 == 0) ? r.range(-40000, 40000) : r.range(-60, 60);
                level += static_cast<uint32_t>(step);
                x[i] = static_cast<int32_t>(level);
                break;
            }
            case Shape::extremes: {
                static const int32_t pick[] = {INT32_MIN, INT32_MIN + 1, INT32_MAX,
                                               INT32_MAX - 1, 0, -1, 1};
                x[i] = pick[r.next() % 7];
                break;
            }
            case Shape::constant:
                if (r.next() % 50 == 0) level = r.u32();
                x[i] = static_cast<int32_t>(level);
                break;
            case Shape::alternating:
                x[i] = static_cast<int32_t>(r.u32() >> 2) * ((i & 1) ? -1 : 1);
                break;
            default:
                x[i] = static_cast<int32_t>(r.u32());
                break;
        }
    }
    return x;
}

// A long series like digitised ground motion: a random walk of small steps.
inline std::vector<int32_t> waveform(std::size_t n, uint64_t seed) {
    SeededRandom r(seed);
    std::vector<int32_t> x(n);
    int32_t v = 0, slope = 0;
    for (std::size_t i = 0; i < n; i++) {
        slope += r.range(-20, 20);
        slope -= slope / 16;
        v += slope + r.range(-30, 30);
        x[i] = v;
    }
    return x;
}

}  // namespace testsupport

#endif
