// CRC-32 with the non-reflected polynomial 0x04C11DB7 (the table of POSIX
// cksum); the caller chooses the start and any final XOR.
#include "crc.h"
#include "crc_private.h"

namespace {

constexpr basalt::crc::Tables crctab = basalt::crc::msb_first_tables(0x04C11DB7);

}  // namespace

extern "C" void bt_crc32(int *crc32p, unsigned char *buffer, int bufsize) {
    if (bufsize <= 0) return;
    uint32_t r = static_cast<uint32_t>(*crc32p);
    r = basalt::crc::msb_first(crctab, r, buffer, static_cast<std::size_t>(bufsize));
    *crc32p = static_cast<int>(r);
}
