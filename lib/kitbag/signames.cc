// Signal names and numbers.
#include <cstdio>
#include <cstring>

#include "kitbag.h"

extern "C" {

// Searched in this order; where a number has two names the first wins.
// KILL and STOP are deliberately absent.
const Signame Siglist[] = {
    {"HUP", 1},     {"INT", 2},     {"QUIT", 3},  {"ILL", 4},     {"TRAP", 5},
    {"IOT", 6},     {"ABRT", 6},    {"FPE", 8},   {"BUS", 7},     {"SEGV", 11},
    {"SYS", 31},    {"PIPE", 13},   {"ALRM", 14}, {"TERM", 15},   {"USR1", 10},
    {"USR2", 12},   {"CLD", 17},    {"CHLD", 17}, {"PWR", 30},    {"WINCH", 28},
    {"URG", 23},    {"POLL", 29},   {"TSTP", 20}, {"CONT", 18},   {"TTIN", 21},
    {"TTOU", 22},   {"VTALRM", 26}, {"PROF", 27}, {"XCPU", 24},   {"XFSZ", 25},
};

int Nsig = sizeof Siglist / sizeof Siglist[0];

int str2sig(char *name, int *sig) {
    if (name == nullptr) return -1;
    const char *bare = std::strncmp(name, "SIG", 3) == 0 ? name + 3 : name;
    for (const Signame &s : Siglist) {
        if (std::strcmp(bare, s.name) == 0) {
            if (sig != nullptr) *sig = s.sig;
            return 0;
        }
    }
    return -1;
}

int sig2str(int sig, char *buf) {
    for (const Signame &s : Siglist) {
        if (s.sig == sig) {
            std::sprintf(buf, "SIG%s", s.name);
            return 0;
        }
    }
    return -1;
}

}  // extern "C"
