// Fuzz target for the buffered-stream reader: whatever bytes a peer sends,
// the typed gets, delimited reads, the sync search and the memory-stream
// calls must neither crash, leak nor hang.
//
// Input layout: byte 0 chooses the stream (even: a memory stream, odd: a
// socket whose peer sends the payload and then closes), byte 1 the buffer
// size, byte 2 the number of 4-byte operations that follow; the rest is the
// payload the stream reads.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bns.h"
#include "elog.h"
#include "quiet_log.h"

namespace {

constexpr size_t kSinkSize = size_t{1} << 20;  // holds the largest get below
unsigned char sink[kSinkSize];

// A stream grows past this only by asking for more than the largest
// buffer, which is refused without growing. Growth below it takes the same
// paths as above it, while every growth of a large buffer copies it (a run
// of resizes would double it to hundreds of megabytes) and buffers past
// 128 KiB are mapped and unmapped for each input by the address sanitizer.
constexpr int64_t kMostGrowth = int64_t{1} << 14;

// Wire width of each type code.
constexpr int kWidth[6] = {1, 2, 4, 8, 4, 8};

// A count of values of type t as the get asks for it: one that would grow
// the buffer past kMostGrowth, but not past the largest buffer, is brought
// down to kMostGrowth bytes.
int capped_count(int t, int64_t count) {
    const int64_t bytes = count * kWidth[t];
    if (bytes <= kMostGrowth || bytes > BNS_MAX_SIZE) return static_cast<int>(count);
    return static_cast<int>(kMostGrowth / kWidth[t]);
}

// A write routine that takes up to `write_cap` bytes a call (0: fails), so
// that flushes, short writes and keeping run without a real peer.
int write_cap = 0;
int capped_write(int, void *, int count, int) {
    if (write_cap == 0) {
        errno = ECONNRESET;
        return -1;
    }
    return count < write_cap ? count : write_cap;
}

// Sends what fits in the socket buffer and closes the sending end.
void send_and_close(int fd, const uint8_t *data, size_t size) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) break;
        data += n;
        size -= static_cast<size_t>(n);
    }
    close(fd);
}

void run(Bns *bns, const uint8_t *ops, size_t nops, const uint8_t *payload, size_t npayload) {
    for (size_t k = 0; k < nops; k++) {
        const uint8_t *op = ops + 4 * k;
        const int n16 = op[2] << 8 | op[3];
        switch (op[0] % 10) {
            case 0: {  // typed get, any type code including bad ones
                const int type = static_cast<int>(op[1] % 8) - 1;
                bnsget(bns, sink, type, type >= 0 && type < 6 ? capped_count(type, n16) : n16);
                break;
            }
            case 1:  // a get with a count that may be negative or huge
                bnsget(bns, sink, op[1] % 6,
                       capped_count(op[1] % 6, int64_t{static_cast<int16_t>(n16)} * (op[1] & 0x80 ? 65536 : 1)));
                break;
            case 2:  // delimited read
                bnsgetc(bns, sink, static_cast<int16_t>(n16), op[1]);
                break;
            case 3: {  // sync search for a pattern taken from the payload
                char pattern[8] = {'o', 'r', 'b', 'm', 0, 0, 0, 0};
                const size_t len = op[2] % 9;
                if (op[1] & 1 && npayload > 0)
                    for (size_t i = 0; i < len && i < sizeof pattern; i++)
                        pattern[i] = static_cast<char>(payload[(op[3] + i) % npayload]);
                // The bytes it skips are dumped on standard error.
                fuzzing::with_quiet_stderr([&] {
                    gbnsSync(bns, pattern, static_cast<int>(len) - (op[1] & 2 ? 1 : 0), op[1] & 4);
                });
                break;
            }
            case 4:
                bns2buf(bns, reinterpret_cast<char *>(sink), static_cast<int16_t>(n16));
                break;
            case 5:  // bytes appended are read back by later gets
                if (npayload > 0) {
                    const size_t from = op[1] % npayload;
                    const size_t len = std::min<size_t>(op[2], npayload - from);
                    buf2bns(bns, reinterpret_cast<char *>(const_cast<uint8_t *>(payload + from)),
                            static_cast<int>(len));
                }
                break;
            case 6:
                bnskeep(bns, op[1] % 4);
                break;
            case 7:
                write_cap = op[1] & 0x80 ? n16 : op[1];
                bns->write_routine = capped_write;
                bnsflush(bns);
                break;
            case 8:
                bnsresend(bns);
                break;
            default:
                // A resize at least doubles the buffer.
                if (op[1] == 0) bnsclr(bns);
                else if (bns->sz < kMostGrowth) bnsresize(bns, op[1] % 64);
                break;
        }
        if (bns->fp < 0 || bns->fp > bns->lp || bns->lp > bns->sz ||
            (bns->mark >= 0 && bns->mark > bns->fp))
            std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzing::quiet_log();
    if (size < 3) return 0;
    const bool socket_stream = data[0] & 1;
    const int sz = data[1];
    size_t nops = data[2];
    data += 3;
    size -= 3;
    if (nops * 4 > size) nops = size / 4;
    const uint8_t *ops = data;
    const uint8_t *payload = data + nops * 4;
    const size_t npayload = size - nops * 4;

    Bns *bns = nullptr;
    int fds[2] = {-1, -1};
    if (socket_stream) {
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
        send_and_close(fds[1], payload, npayload);
        bns = bnsnew(fds[0], sz);
    } else {
        bns = bnsnew(-1, sz);
        buf2bns(bns, reinterpret_cast<char *>(const_cast<uint8_t *>(payload)), static_cast<int>(npayload));
    }
    bnstimeout(bns, 0);  // never wait: the input is all there is
    run(bns, ops, nops, payload, npayload);
    bnsfree(bns);
    if (fds[0] >= 0) close(fds[0]);
    elog_clear();
    return 0;
}
