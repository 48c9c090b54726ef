// Two sums that always start afresh: a non-reflected 32-bit CRC with the
// polynomial 0x56070368, and the byte sum modulo 65536.
#include "crc.h"
#include "crc_private.h"

namespace {

constexpr basalt::crc::Tables checksum_table = basalt::crc::msb_first_tables(0x56070368);

}  // namespace

extern "C" void qtcrc(int *crcp, unsigned char *buffer, int bufsize) {
    uint32_t r = 0;
    if (bufsize > 0)
        r = basalt::crc::msb_first(checksum_table, 0, buffer,
                                   static_cast<std::size_t>(bufsize));
    *crcp = static_cast<int>(r);
}

extern "C" void qtchecksum(short *checksump, unsigned char *buffer, int bufsize) {
    uint32_t sum = 0;
    for (int i = 0; i < bufsize; i++) sum += buffer[i];
    *checksump = static_cast<short>(static_cast<uint16_t>(sum));
}
