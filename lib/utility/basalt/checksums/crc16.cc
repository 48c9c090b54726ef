// CRC-16 with the reflected polynomial 0xA001 (CRC-16/ARC from a register of
// 0). The register stays an unsigned 16-bit value whatever its top bit.
#include "crc.h"
#include "crc_private.h"

namespace {

constexpr basalt::crc::Tables crc16tab = basalt::crc::lsb_first_tables(0xA001);

}  // namespace

extern "C" void bt_crc16(short *crc16p, unsigned char *buffer, int bufsize) {
    if (bufsize <= 0) return;
    uint32_t r = static_cast<uint16_t>(*crc16p);
    r = basalt::crc::lsb_first(crc16tab, r, buffer, static_cast<std::size_t>(bufsize));
    *crc16p = static_cast<short>(static_cast<uint16_t>(r));
}
