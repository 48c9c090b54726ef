// Private to the host-identity and file-system files of kitbag: the seams
// through which the tests feed the interface listing and the mount table,
// and the steps that turn raw numbers into results. Hidden, not part of the
// interface.
#ifndef KITBAG_HOST_PRIVATE_H
#define KITBAG_HOST_PRIVATE_H

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "kitbag_host.h"

namespace kitbag {

// ---- Interface listing ----

// The host-order address on one line of the interface listing: the dotted
// address after "inet addr:" (older net-tools) or after "inet " (current
// net-tools). False when the line holds none.
bool listing_line_address(const char *line, std::uint32_t *addr);

// The own addresses in the whole text of an interface listing as my_ips
// gives them: loopback skipped, at most 31, followed by a 0 (ips holds 32).
// Returns their number.
int listing_addresses(const char *text, int *ips);

// The host-order address of the first address line of a listing text,
// loopback included, as my_ipaddress gives it; 0 when there is none.
int listing_first_address(const char *text);

// The program that prints the interface listing (run with the argument
// "-a"); null restores "/sbin/ifconfig".
void set_interface_program(const char *path);

// Empties the own-address cache of my_ips, so that the next call runs the
// listing again.
void forget_own_addresses();

// ---- Login name ----

// Empties the login-name cache, so that the next my_username looks again.
void forget_login_name();

// ---- Mount table ----

// The mount table that fspath and is_nfs read; null restores "/etc/mtab".
void set_mount_table(const char *path);

// The counts of a file system as statvfs gives them, in full width.
struct FsCounts {
    std::uint64_t bavail;  // blocks available to unprivileged users
    std::uint64_t blocks;  // blocks in all
    std::uint64_t frsize;  // bytes per block
    std::uint64_t favail;  // inodes available to unprivileged users
    std::uint64_t files;   // inodes in all
    std::uint64_t fsid;    // file-system id
};

// Fills the sizes and the id of a record from the counts.
void fill_infopath(InfoPath *info, const FsCounts &counts);

// ---- Shared helpers ----

// Holds a mutex for the life of the scope.
class HostLock {
  public:
    explicit HostLock(pthread_mutex_t *m) : m_(m) { pthread_mutex_lock(m_); }
    ~HostLock() { pthread_mutex_unlock(m_); }
    HostLock(const HostLock &) = delete;
    HostLock &operator=(const HostLock &) = delete;

  private:
    pthread_mutex_t *m_;
};

// Copies at most size - 1 characters of src and a NUL into dst.
void copy_bounded(char *dst, const char *src, std::size_t size);

}  // namespace kitbag

#endif
