// The client IP access list: "valid_ip_addresses" of a parameter file.

#include <arpa/inet.h>

#include <cstring>

#include "alloc.h"
#include "elog.h"
#include "pf.h"
#include "pfaccess.h"
#include "signing.h"
#include "strtools.h"
#include "tbl.h"

namespace {

bool separator(char c) { return c == ' ' || c == '\t'; }

// Splits line (changed in place) into the address word, the netmask word
// and the rest of the line after the separator that ends the netmask (null
// when the line ends there or right after that separator). False when a
// word is missing.
bool split_entry(char *line, char **address, char **netmask, char **rest) {
    char *p = line;
    while (separator(*p)) p++;
    if (*p == '\0') return false;
    *address = p;
    while (*p != '\0' && !separator(*p)) p++;
    if (*p == '\0') return false;
    *p++ = '\0';
    while (separator(*p)) p++;
    if (*p == '\0') return false;
    *netmask = p;
    while (*p != '\0' && !separator(*p)) p++;
    *rest = nullptr;
    if (*p != '\0') {
        *p++ = '\0';
        if (*p != '\0') *rest = p;
    }
    return true;
}

}  // namespace

extern "C" int legit_ip_pf(Pf *pf, unsigned int ip, char **rstrict) {
    Tbl *list = pfget_tbl(pf, "valid_ip_addresses");
    if (list == nullptr) {
        elog_log(0, "failed to get valid_ip_addresses list");
        return 0;
    }
    int admitted = 0;
    const int n = maxtbl(list);
    for (int i = 0; i < n && !admitted; i++) {
        const char *element = static_cast<const char *>(gettbl(list, i));
        if (element == nullptr || *element == '\0') continue;
        char *copy = BASALT_STRDUP(element, "valid_ip_addresses entry");
        char *address = nullptr;
        char *netmask = nullptr;
        char *rest = nullptr;
        if (split_entry(copy, &address, &netmask, &rest)) {
            const unsigned int addr = static_cast<unsigned int>(inet_addr(address));
            const unsigned int mask = static_cast<unsigned int>(inet_addr(netmask));
            if ((ip & mask) == (addr & mask)) {
                admitted = 1;
                if (rest != nullptr) {
                    char *text = BASALT_STRDUP(rest, "*rstrict");
                    strtrim(text);
                    *rstrict = text;
                } else {
                    *rstrict = nullptr;
                }
            }
        }
        std::free(copy);
    }
    freetbl(list, nullptr);
    return admitted;
}

extern "C" int legit_ip(char *pfname, unsigned int ip, char **rstrict) {
    Pf *pf = nullptr;
    if (pfread(pfname, &pf) < 0) {
        if (pf != nullptr) pffree(pf);
        elog_log(1, "Can't read parameter file '%s'", pfname);
        return -1;
    }
    const int result = legit_ip_pf(pf, ip, rstrict);
    pffree(pf);
    return result;
}
