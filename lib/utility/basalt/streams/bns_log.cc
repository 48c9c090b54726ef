// Buffered streams: the traffic log, stream names and the diagnostic dump.
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "alloc.h"
#include "bns.h"
#include "bns_private.h"
#include "dumps.h"
#include "tbl.h"

namespace {

constexpr int kHeaderMax = 256;
constexpr int kDumpMax = 96;

// Writes all of the gathered pieces, going on after an interruption or a
// partial write.
void write_all(int fd, struct iovec *iov, int count) {
    while (count > 0) {
        const ssize_t r = ::writev(fd, iov, count);
        if (r < 0) {
            if (errno == EINTR) continue;
            return;
        }
        auto done = static_cast<size_t>(r);
        while (count > 0 && done >= iov->iov_len) {
            done -= iov->iov_len;
            iov++;
            count--;
        }
        if (count > 0) {
            iov->iov_base = static_cast<char *>(iov->iov_base) + done;
            iov->iov_len -= done;
        }
    }
}

}  // namespace

namespace basalt::bnsimpl {

void traffic(Bns *bns, const char *direction, const char *bytes, int count) {
    if (bns->snoop == nullptr) return;
    const int saved = errno;
    char header[kHeaderMax];
    int n = std::snprintf(header, sizeof header, "\n\n#msg %s %s %d %ld\n", direction,
                          bns->id != nullptr ? bns->id : "anon", count,
                          static_cast<long>(std::time(nullptr)));
    if (n < 0) n = 0;
    if (n > kHeaderMax - 1) n = kHeaderMax - 1;
    struct iovec iov[2];
    iov[0].iov_base = header;
    iov[0].iov_len = static_cast<size_t>(n);
    iov[1].iov_base = const_cast<char *>(bytes);
    iov[1].iov_len = count > 0 ? static_cast<size_t>(count) : 0;
    write_all(bns->snoopfd, iov, count >= 1 ? 2 : 1);
    errno = saved;
}

}  // namespace basalt::bnsimpl

extern "C" {

int bnssnoop(Bns *bns, char *filename) {
    int result = 0;
    if (bns->snoop != nullptr) {
        result = ::close(bns->snoopfd);
        bns->snoopfd = -1;
        std::free(bns->snoop);
        bns->snoop = nullptr;
    }
    if (filename != nullptr) {
        const int fd = ::open(filename, O_RDWR | O_CREAT | O_APPEND, 0664);
        if (fd < 0) return -1;
        bns->snoopfd = fd;
        bns->snoop = BASALT_STRDUP(filename, "bns->snoop");
    }
    return result;
}

char *bnsid(Bns *bns, char *id) {
    char *previous = bns->id;
    if (id != nullptr) bns->id = id;
    return previous;
}

void bnsdump(FILE *file, Bns *bns) {
    if (bns->id != nullptr) std::fprintf(file, "  id='%s'\n", bns->id);
    std::fprintf(file, "  fp=%d", bns->fp);
    std::fprintf(file, "  lp=%d", bns->lp);
    std::fprintf(file, "  mark=%d", bns->mark);
    std::fprintf(file, "  sz=%8d\n", bns->sz);
    std::fprintf(file, "  eof=%d", bns->eof);
    std::fprintf(file, "  err=%d", bns->err);
    std::fprintf(file, "  syserrno=%d", bns->syserrno);
    std::fprintf(file, "  flags=%d\n", bns->flags);
    std::fprintf(file, "  timeout=%d", bns->timeout);
    std::fprintf(file, "  nbytes=%d", bns->nbytes);
    std::fprintf(file, "  nsys=%d", bns->nsys);
    if (bns->marktbl != nullptr) {
        const int n = maxtbl(bns->marktbl);
        if (n > 0) std::fprintf(file, "marktbl has %d entries:", n);
        for (int i = 0; i < n; i++)
            std::fprintf(file, " %d", basalt::bnsimpl::entry_offset(gettbl(bns->marktbl, i)));
        std::fprintf(file, "\n");
    }
    if (bns->mark >= 0) {
        std::fprintf(file, "\n data+mark=%d\n", bns->mark);
        const int32_t held = bns->lp - bns->mark;
        hexdump(file, bns->data + bns->mark, held < kDumpMax ? held : kDumpMax);
    }
    if (bns->fp != bns->mark) {
        const int32_t unread = bns->lp - bns->fp;
        std::fprintf(file, "\ndata+fp : %d bytes\n", unread);
        hexdump(file, bns->data + bns->fp, unread < kDumpMax ? unread : kDumpMax);
    }
    if (bns->snoop != nullptr) std::fprintf(file, "  snoop=%s (fd=%d)\n", bns->snoop, bns->snoopfd);
}

}  // extern "C"
