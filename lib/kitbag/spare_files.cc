// Two spare streams on /dev/null, held so that a stream is free at the
// moment one is needed (my_ipaddress gives one up around its popen).
#include <pthread.h>

#include <cstdio>

#include "alloc_private.h"
#include "kitbag.h"
#include "process_private.h"

namespace {

constexpr int N = 2;

FILE **Files = nullptr;  // N slots, made on first use
pthread_mutex_t files_lock = PTHREAD_MUTEX_INITIALIZER;

// Called with files_lock held.
FILE **slots() {
    if (Files == nullptr) {
        Files = static_cast<FILE **>(KITBAG_MALLOC(N * sizeof(FILE *), "Files"));
        for (int i = 0; i < N; i++) Files[i] = nullptr;
    }
    return Files;
}

}  // namespace

extern "C" void reserve_FILE(void) {
    kitbag::MutexGuard guard(files_lock);
    FILE **files = slots();
    for (int i = 0; i < N; i++)
        if (files[i] == nullptr) files[i] = std::fopen("/dev/null", "rw");
}

extern "C" void release_FILE(void) {
    kitbag::MutexGuard guard(files_lock);
    FILE **files = slots();
    for (int i = 0; i < N; i++) {
        if (files[i] != nullptr) {
            std::fclose(files[i]);
            files[i] = nullptr;
            return;
        }
    }
}

int kitbag::spare_files_open() {
    kitbag::MutexGuard guard(files_lock);
    int open = 0;
    if (Files != nullptr)
        for (int i = 0; i < N; i++)
            if (Files[i] != nullptr) open++;
    return open;
}
