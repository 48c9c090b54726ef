// Names and addresses of hosts: the host's own name and address, and
// lookups from names to addresses and back.
//
// The lookups go through the re-entrant resolver calls, each with a buffer
// of its own, so no thread ever reads another thread's answer; each entry
// point also holds a mutex of its own over its caches.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alloc_private.h"
#include "arrays.h"
#include "elog.h"
#include "host_private.h"
#include "kitbag.h"

namespace {

constexpr std::size_t kNameBuffer = 64;    // caller buffers for names
constexpr std::size_t kDottedBuffer = 16;  // "255.255.255.255"
constexpr std::size_t kFirstLookupBuffer = 1024;
constexpr std::size_t kLastLookupBuffer = 1u << 20;

// The name given to the loopback host.
constexpr char kLocalHost[] = "localhost";

pthread_mutex_t my_ip_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t ip2name_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t name2ip_lock = PTHREAD_MUTEX_INITIALIZER;

// Addresses without a name, keyed by the network-order address printed
// with "%d", holding the dotted text. Guarded by ip2name_lock; kept for the
// life of the process.
Arr *failed_lookups = nullptr;

// One answer of the resolver, in a buffer of its own.
class HostEntry {
  public:
    HostEntry() = default;
    ~HostEntry() { std::free(buf_); }
    HostEntry(const HostEntry &) = delete;
    HostEntry &operator=(const HostEntry &) = delete;

    // Looks a name up; true when it has an IPv4 address.
    bool by_name(const char *name) {
        if (name == nullptr) return false;
        return lookup([&](char *buf, std::size_t size, int *herr) {
            return gethostbyname_r(name, &entry_, buf, size, &result_, herr);
        });
    }

    // Looks up the name of 4 address bytes; true when it has one.
    bool by_address(const unsigned char *bytes) {
        return lookup([&](char *buf, std::size_t size, int *herr) {
            return gethostbyaddr_r(bytes, 4, AF_INET, &entry_, buf, size, &result_, herr);
        });
    }

    const char *name() const { return result_->h_name; }
    const char *first_address() const { return result_->h_addr_list[0]; }

  private:
    template <typename Call>
    bool lookup(Call call) {
        std::size_t size = kFirstLookupBuffer;
        for (;;) {
            std::free(buf_);
            buf_ = static_cast<char *>(KITBAG_MALLOC(size, "hostent"));
            result_ = nullptr;
            int herr = 0;
            int rc = call(buf_, size, &herr);
            if (rc == ERANGE && size < kLastLookupBuffer) {
                size *= 2;
                continue;
            }
            return rc == 0 && result_ != nullptr && result_->h_addrtype == AF_INET &&
                   result_->h_length == 4 && result_->h_addr_list != nullptr &&
                   result_->h_addr_list[0] != nullptr && result_->h_name != nullptr;
        }
    }

    struct hostent entry_ {};
    struct hostent *result_ = nullptr;
    char *buf_ = nullptr;
};

void dotted_form(const void *bytes, char *dotted) {
    if (inet_ntop(AF_INET, bytes, dotted, kDottedBuffer) == nullptr) dotted[0] = '\0';
}

}  // namespace

extern "C" int my_ip(char *name, char *dotted, int *addr) {
    kitbag::HostLock hold(&my_ip_lock);
    char host[kNameBuffer];
    my_hostname(host);
    HostEntry found;
    if (found.by_name(host)) {
        std::memcpy(addr, found.first_address(), 4);
        kitbag::copy_bounded(name, found.name(), kNameBuffer);
        dotted_form(found.first_address(), dotted);
        return 0;
    }
    kitbag::copy_bounded(name, kLocalHost, kNameBuffer);
    int ips[32];
    if (my_ips(ips) > 0) {
        std::uint32_t net = htonl(static_cast<std::uint32_t>(ips[0]));
        std::memcpy(addr, &net, 4);
        dotted_form(&net, dotted);
        return 0;
    }
    dotted[0] = '\0';
    return -1;
}

extern "C" int ip2name(int addr, char *name) {
    unsigned char bytes[4];
    std::memcpy(bytes, &addr, 4);
    if (bytes[0] == 127 && bytes[1] == 0 && bytes[2] == 0 && bytes[3] == 1) {
        kitbag::copy_bounded(name, kLocalHost, kNameBuffer);
        return 0;
    }
    char key[16];
    std::snprintf(key, sizeof key, "%d", addr);
    char dotted[kDottedBuffer];
    {
        kitbag::HostLock hold(&ip2name_lock);
        if (failed_lookups == nullptr) failed_lookups = newarr(nullptr);
        if (const char *known = static_cast<const char *>(getarr(failed_lookups, key))) {
            kitbag::copy_bounded(name, known, kNameBuffer);
            return -1;
        }
        HostEntry found;
        if (found.by_address(bytes)) {
            kitbag::copy_bounded(name, found.name(), kNameBuffer);
            return 0;
        }
        dotted_form(bytes, dotted);
        setarr(failed_lookups, key, KITBAG_STRDUP(dotted, "dotted"));
    }
    kitbag::copy_bounded(name, dotted, kNameBuffer);
    elog_complain(0, "Can't lookup hostname for ip address %s", dotted);
    return -1;
}

extern "C" int name2ip(char *name, int *addr, char *dotted) {
    kitbag::HostLock hold(&name2ip_lock);
    HostEntry found;
    if (!found.by_name(name)) {
        *addr = -1;
        dotted[0] = '\0';
        return -1;
    }
    std::memcpy(addr, found.first_address(), 4);
    dotted_form(found.first_address(), dotted);
    return 0;
}
