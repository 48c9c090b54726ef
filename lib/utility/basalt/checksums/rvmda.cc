// The second MD5: a context that keeps its finished digest.
#include <cstring>

#include "byteload_private.h"
#include "digests.h"
#include "md5_private.h"

namespace {

// The fill block: 0x80 and 63 zero bytes.
const unsigned char PADDING[64] = {0x80};

// The MD5 compression of the block at `in` into the state words.
void Transform(uint32_t buf[4], const unsigned char in[64]) {
    basalt::md5::blocks(buf, in, 1);
}

}  // namespace

extern "C" void inirvm(Rvm *rvm) {
    rvm->i[0] = rvm->i[1] = 0;
    basalt::md5::init_state(rvm->buf);
}

extern "C" void addrvm(Rvm *rvm, const unsigned char *inBuf, unsigned int inLen) {
    std::size_t pending = basalt::md5::count_bits(rvm->i, inLen);
    basalt::md5::absorb(rvm->buf, rvm->in, pending, inBuf, inLen);
}

extern "C" void endrvm(Rvm *rvm) {
    unsigned char length[8];
    basalt::store_le32(length, rvm->i[0]);
    basalt::store_le32(length + 4, rvm->i[1]);
    unsigned r = (rvm->i[0] >> 3) & 0x3F;
    addrvm(rvm, PADDING, r < 56 ? 56 - r : 120 - r);
    // The block now holds 56 bytes: the length completes it.
    std::memcpy(rvm->in + 56, length, 8);
    Transform(rvm->buf, rvm->in);
    for (int k = 0; k < 4; k++) basalt::store_le32(rvm->digest + 4 * k, rvm->buf[k]);
}

extern "C" void ascrvm(Rvm *rvm, char *digest) { basalt::md5::hex(digest, rvm->digest); }
