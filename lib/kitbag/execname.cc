// The path of the running executable.
#include <pthread.h>
#include <unistd.h>

#include "kitbag.h"

namespace {

char exec_name[4096];
pthread_once_t exec_name_once = PTHREAD_ONCE_INIT;

void read_exec_name() {
    ssize_t n = readlink("/proc/self/exe", exec_name, sizeof exec_name - 1);
    exec_name[n > 0 ? n : 0] = '\0';
}

}  // namespace

extern "C" char *getexecname(void) {
    pthread_once(&exec_name_once, read_exec_name);
    return exec_name;
}
