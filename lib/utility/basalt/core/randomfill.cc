// The random generator (L'Ecuyer's 1988 combined generator, stepped by
// Schrage's method) and the verifiable random fill built on its pattern
// table.
#include "randomfill.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "alloc.h"
#include "elog.h"
#include "hooks.h"
#include "kitbag.h"

namespace {

// ---- The generator ----

constexpr std::int32_t kSeed1 = 55555;
constexpr std::int32_t kSeed2 = 99999;
constexpr std::int32_t kModulus1 = 2147483563;
constexpr std::int32_t kModulus2 = 2147483399;
constexpr double kFactor = 1.0 / 2147483563.0;

// A private generator's state, kept in the caller's hook (8 bytes).
struct DisorderedState {
    std::int32_t s1;
    std::int32_t s2;
};
static_assert(sizeof(DisorderedState) == 8);

// The process-wide generator.
std::mutex generator_lock;
std::int32_t s1 = kSeed1;
std::int32_t s2 = kSeed2;

// One step of both components; returns z in [1, kModulus1 - 1]. Every
// intermediate fits in 32 bits.
std::int32_t step(std::int32_t &a, std::int32_t &b) {
    std::int32_t k = a / 53668;
    a = 40014 * (a - k * 53668) - k * 12211;
    if (a < 0) a += kModulus1;

    k = b / 52774;
    b = 40692 * (b - k * 52774) - k * 3791;
    if (b < 0) b += kModulus2;

    // a + b may not fit in 32 bits; a - kModulus1 + b does.
    std::int32_t z = (a - kModulus1) + b;
    if (z <= 0) z += kModulus1 - 1;
    return z;
}

// ---- The pattern table ----

constexpr int kDefaultBufferSize = 32768;

std::mutex pattern_lock;
unsigned char *Image = nullptr;  // the pattern bytes, each 0 to 254
std::int64_t Icount = 0;         // bytes in Image
int Random_buffer_size = kDefaultBufferSize;

const char *base_name(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

#define RANDOMFILL_UNEXPECTED()                                                          \
    elog_die(0, "Unexpected failure: file %s, line %d\n", base_name(__FILE__), __LINE__)

// Makes sure the table holds at least nbytes + 1 and at least
// Random_buffer_size bytes. Called with pattern_lock held.
void require(std::int64_t nbytes) {
    const std::int64_t need = std::max<std::int64_t>(Random_buffer_size, nbytes + 1);
    if (need <= Icount) return;
    // need is at most 2^31, which size_t holds on every host.
    const auto bytes = static_cast<std::size_t>(need);
    if (Image == nullptr)
        Image = static_cast<unsigned char *>(BASALT_MALLOC(bytes, "saved"));
    else
        Image = static_cast<unsigned char *>(BASALT_REALLOC(Image, bytes, "saved"));
    for (std::int64_t k = Icount; k < need; k++)
        Image[k] = static_cast<unsigned char>(static_cast<int>(disordered() * 255.0));
    Icount = need;
}

}  // namespace

extern "C" {

double disordered(void) {
    std::int32_t z;
    {
        std::lock_guard<std::mutex> lock(generator_lock);
        z = step(s1, s2);
    }
    return z * kFactor;
}

double r_disordered(Hook **hook) {
    if (*hook == nullptr) *hook = new_hook(::free);
    auto *state = static_cast<DisorderedState *>((*hook)->p);
    if (state == nullptr) {
        state = BASALT_NEW_RECORD(DisorderedState, "s");
        state->s1 = kSeed1;
        state->s2 = kSeed2;
        (*hook)->p = state;
    }
    return step(state->s1, state->s2) * kFactor;
}

void fill_random(char *packet, int nchar, int *indexp) {
    std::unique_lock<std::mutex> lock(pattern_lock);
    std::int32_t start = *indexp;
    if (start < 0 || start >= Random_buffer_size) {
        lock.unlock();
        RANDOMFILL_UNEXPECTED();
    }
    require(nchar);
    if (nchar <= 4) {
        lock.unlock();
        RANDOMFILL_UNEXPECTED();
    }

    auto *cursor = reinterpret_cast<unsigned char *>(packet);
    hi2mi(&start, &cursor, 1);
    std::int64_t index = start;
    for (int i = 4; i < nchar; i++) {
        packet[i] = static_cast<char>(Image[index]);
        if (++index == Icount) index = 0;
    }
    // Once the table is larger than the range of start indexes (a packet
    // that large was filled or verified, or the range was lowered), the
    // index left for the next call must still be a valid start.
    if (index >= Random_buffer_size) index %= Random_buffer_size;
    *indexp = static_cast<int>(index);
}

int check_random(const char *packet, int nchar) {
    if (packet == nullptr || nchar < 4) return -1;
    std::lock_guard<std::mutex> lock(pattern_lock);
    require(nchar);

    unsigned char head[4];
    std::memcpy(head, packet, sizeof head);
    unsigned char *cursor = head;
    std::int32_t start = 0;
    mi2hi(&cursor, &start, 1);
    if (start < 0 || start >= Random_buffer_size) return -1;

    int first_difference = 0;
    std::int64_t index = start;
    for (int i = 4; i < nchar; i++) {
        if (first_difference == 0 && static_cast<unsigned char>(packet[i]) != Image[index])
            first_difference = i + 1;
        if (++index == Icount) index = 0;
    }
    return first_difference;
}

int set_random(int random_buffer_bytes) {
    std::lock_guard<std::mutex> lock(pattern_lock);
    const int previous = Random_buffer_size;
    Random_buffer_size = random_buffer_bytes;
    return previous;
}

}  // extern "C"
