#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "basalt.h"
#include "elog_capture.h"
#include "sample_series.h"

#ifdef HAVE_OPENSSL
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/evp.h>
#include <openssl/md4.h>
#endif

namespace {

using Bytes = std::vector<unsigned char>;

using testsupport::random_bytes;

std::string hex(const unsigned char *d, int n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < n; i++) {
        s += digits[d[i] >> 4];
        s += digits[d[i] & 15];
    }
    return s;
}

std::string md5_of(const Bytes &b) {
    char out[33];
    mdhex(out, reinterpret_cast<const char *>(b.data()), static_cast<int>(b.size()));
    return out;
}

std::string sha_of(const Bytes &b, std::size_t cut) {
    sha_ctx ctx;
    sha_init(&ctx);
    sha_update(&ctx, b.data(), static_cast<unsigned>(cut));
    sha_update(&ctx, b.data() + cut, static_cast<unsigned>(b.size() - cut));
    sha_final(&ctx);
    unsigned char d[20];
    sha_digest(&ctx, d);
    return hex(d, 20);
}

std::string md4_of(const Bytes &b) {
    MDstruct md;
    MDbegin(&md);
    std::size_t at = 0;
    for (; b.size() - at >= 64; at += 64) MDupdate(&md, const_cast<unsigned char *>(&b[at]), 512);
    MDupdate(&md, const_cast<unsigned char *>(b.data() + at),
             static_cast<unsigned>(8 * (b.size() - at)));
    return hex(reinterpret_cast<unsigned char *>(md.buffer), 16);
}

Bytes text(const std::string &s) { return Bytes(s.begin(), s.end()); }

TEST(Md5, TestDigests) {
    EXPECT_EQ(md5_of({}), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_of(text("abc")), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5_of(text("12345678901234567890123456789012345678901234567890123456789012345678901234567890")),
              "57edf4a22be3c955ac49da2e2107b67a");
    char a[33], b[33], c[33];
    mdhexlist(a, "abc", 3, static_cast<char *>(nullptr));
    mdhexlist(b, "ab", 2, "c", 1, static_cast<char *>(nullptr));
    mdhexlist(c, static_cast<char *>(nullptr));
    EXPECT_STREQ(a, "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_STREQ(b, a);
    EXPECT_STREQ(c, "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(Md5, BothContextsAgreeForEveryLength) {
    for (std::size_t n = 0; n <= 300; n++) {
        Bytes m = random_bytes(n, n);
        Rvm rvm;
        inirvm(&rvm);
        addrvm(&rvm, m.data(), static_cast<unsigned>(n / 2));
        addrvm(&rvm, m.data() + n / 2, static_cast<unsigned>(n - n / 2));
        endrvm(&rvm);
        char text_form[33];
        ascrvm(&rvm, text_form);
        ASSERT_EQ(text_form, md5_of(m)) << n;
        ASSERT_EQ(hex(rvm.digest, 16), md5_of(m));

        MD5Context ctx;
        MD5Init(&ctx);
        for (std::size_t at = 0; at < n; at += 7)
            MD5Update(&ctx, m.data() + at, static_cast<unsigned>(std::min<std::size_t>(7, n - at)));
        unsigned char d[16];
        MD5Final(d, &ctx);
        ASSERT_EQ(hex(d, 16), md5_of(m));
    }
}

TEST(Sha1, TestDigests) {
    EXPECT_EQ(sha_of(text("abc"), 1), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(sha_of({}, 0), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(sha_of(text("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"), 20),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    Bytes million(1000000, 'a');
    EXPECT_EQ(sha_of(million, 333), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Sha1, FiftyFiveAndFiftySixBytes) {
    for (std::size_t n : {55u, 56u}) {
        sha_ctx ctx;
        sha_init(&ctx);
        Bytes m(n, 'x');
        sha_update(&ctx, m.data(), static_cast<unsigned>(n));
        uint32_t before = ctx.count_l;
        sha_final(&ctx);
        EXPECT_EQ(ctx.count_l - before, n == 55 ? 1u : 2u) << n;
    }
}

TEST(Sha1, CopiesGoOnSeparately) {
    Bytes m = random_bytes(1000, 3);
    sha_ctx a, b;
    sha_init(&a);
    sha_update(&a, m.data(), 100);  // 36 bytes pending
    sha_copy(&b, &a);
    sha_update(&a, m.data() + 100, 900);
    sha_update(&b, m.data() + 100, 900);
    sha_final(&a);
    sha_final(&b);
    unsigned char da[20], db[20];
    sha_digest(&a, da);
    sha_digest(&b, db);
    EXPECT_EQ(hex(da, 20), hex(db, 20));
    EXPECT_EQ(hex(da, 20), sha_of(m, 0));
}

// Digests of every length, summed: the same on every host.
TEST(Digests, SameOnEveryHost) {
    int crc = 0;
    for (std::size_t n = 0; n <= 300; n++) {
        Bytes m = random_bytes(n, n + 500);
        for (const std::string &d : {md5_of(m), sha_of(m, n / 3), md4_of(m)})
            bt_crc32(&crc, reinterpret_cast<unsigned char *>(const_cast<char *>(d.data())),
                     static_cast<int>(d.size()));
    }
    EXPECT_EQ(static_cast<uint32_t>(crc), 459961039u);
}

TEST(Md4, CompletionAndItsRules) {
    MDstruct md;
    MDbegin(&md);
    MDupdate(&md, nullptr, 0);
    EXPECT_EQ(md.done, 1u);
    std::string empty = hex(reinterpret_cast<unsigned char *>(md.buffer), 16);
    MDupdate(&md, nullptr, 0);  // ignored
    EXPECT_EQ(hex(reinterpret_cast<unsigned char *>(md.buffer), 16), empty);
    EXPECT_EQ(md4_of({}), empty);

    // Not the RFC 1320 digest of "abc".
    EXPECT_NE(md4_of(text("abc")), "a448017aaf21d8525fc10ae87aa6729d");

    const std::string P = testsupport::elog_program_name();
    auto after = testsupport::in_child([&] {
        unsigned char x = 'a';
        MDupdate(&md, &x, 8);
    });
    EXPECT_TRUE(after.exited);
    EXPECT_EQ(after.exit_code, 1);
    EXPECT_NE(after.err.find("*fatal*: Error: MDupdate MD already done.\n"), std::string::npos) << after.err;
    auto illegal = testsupport::in_child([&] {
        MDstruct m2;
        MDbegin(&m2);
        unsigned char block[128] = {};
        MDupdate(&m2, block, 513);
    });
    EXPECT_EQ(illegal.exit_code, 1);
    EXPECT_NE(illegal.err.find("*fatal*: Error: MDupdate called with illegal count value 513.\n"),
              std::string::npos)
        << illegal.err;
}

TEST(Md4, PartialBytesKeepTheirLeadingBits) {
    // 12 bits of 0xAB 0xCD are the bits of 0xAB 0xC0.
    MDstruct a, b;
    unsigned char x[2] = {0xAB, 0xCD}, y[2] = {0xAB, 0xC0};
    MDbegin(&a);
    MDbegin(&b);
    MDupdate(&a, x, 12);
    MDupdate(&b, y, 12);
    EXPECT_EQ(std::memcmp(a.buffer, b.buffer, 16), 0);
    MDstruct c;
    MDbegin(&c);
    MDupdate(&c, x, 16);
    EXPECT_NE(std::memcmp(a.buffer, c.buffer, 16), 0);
}

#ifdef HAVE_OPENSSL
std::string openssl_digest(const EVP_MD *md, const Bytes &m) {
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    EVP_Digest(m.data(), m.size(), d, &n, md, nullptr);
    return hex(d, static_cast<int>(n));
}

TEST(Digests, Md5AndSha1AgreeWithOpenSSL) {
    for (std::size_t n = 0; n <= 300; n++) {
        Bytes m = random_bytes(n, n + 900);
        ASSERT_EQ(md5_of(m), openssl_digest(EVP_md5(), m)) << n;
        for (std::size_t cut : {std::size_t{0}, n / 2, n})
            ASSERT_EQ(sha_of(m, cut), openssl_digest(EVP_sha1(), m)) << n << " " << cut;
    }
    Bytes big = random_bytes(1 << 20, 1);
    EXPECT_EQ(md5_of(big), openssl_digest(EVP_md5(), big));
    EXPECT_EQ(sha_of(big, 12345), openssl_digest(EVP_sha1(), big));
}

// This MD4 is RFC 1320's compression run on words formed most significant
// byte first: OpenSSL's compression fed the same blocks with every word's
// bytes reversed gives the same state words.
TEST(Md4, IsTheStandardCompressionOnBigEndianWords) {
    for (std::size_t n = 0; n <= 300; n++) {
        Bytes m = random_bytes(n, n + 1300);
        // The padded message as MDupdate builds it.
        Bytes padded = m;
        padded.push_back(0x80);
        while (padded.size() % 64 != 56) padded.push_back(0);
        uint64_t bits = 8 * static_cast<uint64_t>(n);
        for (int i = 0; i < 8; i++) padded.push_back(static_cast<unsigned char>(bits >> (8 * i)));
        for (std::size_t i = 0; i < padded.size(); i += 4) std::swap(padded[i], padded[i + 3]), std::swap(padded[i + 1], padded[i + 2]);
        MD4_CTX ctx;
        MD4_Init(&ctx);
        for (std::size_t i = 0; i < padded.size(); i += 64) MD4_Transform(&ctx, &padded[i]);
        unsigned char want[16];
        const uint32_t words[4] = {ctx.A, ctx.B, ctx.C, ctx.D};
        for (int w = 0; w < 4; w++)
            for (int k = 0; k < 4; k++) want[4 * w + k] = static_cast<unsigned char>(words[w] >> (24 - 8 * k));
        ASSERT_EQ(md4_of(m), hex(want, 16)) << n;
    }
}
#endif

}  // namespace
