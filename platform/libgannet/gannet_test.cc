// The packet library stand-in: records, stuffing and unstuffing, the
// caller's growable buffer and the display.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "gannet.h"
#include "stream_capture.h"

namespace {

using testsupport::printed;

constexpr double kTime = 1700000000.25;  // 2023-11-14 22:13:20.250


std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list) s += static_cast<char>(b);
    return s;
}

std::string padded(const std::string &s, std::size_t n) { return s + std::string(n - s.size(), '\0'); }

// A packet of one or two channels; the samples are the channel's own.
Packet *sample_packet(int nchannels, int nsamp) {
    Packet *pkt = newPkt();
    pkt->version = 1;
    std::strcpy(pkt->parts.src_net, "DQ");
    std::strcpy(pkt->parts.src_sta, "FAK");
    std::strcpy(pkt->parts.src_chan, "BHZ");
    pkt->pkttype = suffix2pkttype("dbug");
    std::strcpy(pkt->parts.src_suffix, "dbug");
    for (int c = 0; c < nchannels; c++) {
        PktChannel *ch = newPktChannel();
        std::strcpy(ch->segtype, "V");
        std::strcpy(ch->net, "DQ");
        std::strcpy(ch->sta, "FAK");
        std::strcpy(ch->chan, c == 0 ? "BHZ" : "BHN");
        ch->time = kTime + c;
        ch->samprate = 40.0;
        ch->calib = 1.5;
        ch->calper = 2.0;
        ch->nsamp = nsamp;
        ch->datasz = nsamp + 1;
        ch->data = static_cast<int *>(std::calloc(static_cast<std::size_t>(nsamp) + 1, sizeof(int)));
        for (int k = 0; k < nsamp; k++) ch->data[k] = (k - 2) * 1000 * (c + 1);
        setPktChannel(pkt, c, ch);
    }
    return pkt;
}

TEST(Gannet, PacketTypesBySuffix) {
    const Pkttype *t = suffix2pkttype("dbug");
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->suffix, "dbug");
    EXPECT_EQ(suffix2pkttype("nope"), nullptr);
    EXPECT_EQ(suffix2pkttype(nullptr), nullptr);
}

TEST(Gannet, StuffedBytesFollowTheLayout) {
    Packet *pkt = sample_packet(1, 2);
    char srcname[64];
    double time = 0;
    char *packet = nullptr;
    int nbytes = 0, bufsize = 0;
    ASSERT_EQ(stuffPkt(pkt, srcname, &time, &packet, &nbytes, &bufsize), 0);
    const std::string expected =
        std::string("GNT1") + bytes({0, 1, 0, 1}) + padded("dbug", 16) + padded("V", 2) +
        padded("DQ", 16) + padded("FAK", 16) + padded("BHZ", 16) + padded("", 16) +
        bytes({0x41, 0xd9, 0x54, 0xfc, 0x40, 0x10, 0, 0}) +  // time
        bytes({0x40, 0x44, 0, 0, 0, 0, 0, 0}) +              // 40.0
        bytes({0x3f, 0xf8, 0, 0, 0, 0, 0, 0}) +              // 1.5
        bytes({0x40, 0x00, 0, 0, 0, 0, 0, 0}) +              // 2.0
        bytes({0, 0, 0, 2}) + bytes({0xff, 0xff, 0xf8, 0x30}) + bytes({0xff, 0xff, 0xfc, 0x18});
    EXPECT_EQ(std::string(packet, static_cast<std::size_t>(nbytes)), expected);
    EXPECT_EQ(nbytes, GANNET_HEADER_BYTES + GANNET_CHANNEL_BYTES + 8);
    EXPECT_STREQ(srcname, "DQ_FAK_BHZ/dbug");
    EXPECT_EQ(time, kTime);
    std::free(packet);
    freePkt(pkt);
}

TEST(Gannet, StuffThenUnstuffGivesThePacketBack) {
    Packet *pkt = sample_packet(2, 5);
    std::strcpy(pkt->channels[1]->loc, "00");
    char srcname[64];
    double time = 0;
    char *packet = nullptr;
    int nbytes = 0, bufsize = 0;
    ASSERT_EQ(stuffPkt(pkt, srcname, &time, &packet, &nbytes, &bufsize), 0);

    Packet *back = nullptr;
    ASSERT_EQ(unstuffPkt(srcname, time, packet, nbytes, &back), 0);
    EXPECT_EQ(back->version, 1);
    EXPECT_STREQ(back->parts.src_suffix, "dbug");
    EXPECT_EQ(back->pkttype, suffix2pkttype("dbug"));
    EXPECT_EQ(back->time, kTime);
    ASSERT_EQ(back->nchannels, 2);
    for (int c = 0; c < 2; c++) {
        const PktChannel *a = pkt->channels[c];
        const PktChannel *b = back->channels[c];
        EXPECT_STREQ(b->segtype, a->segtype);
        EXPECT_EQ(std::string(b->net) + b->sta + b->chan + b->loc,
                  std::string(a->net) + a->sta + a->chan + a->loc);
        EXPECT_EQ(b->time, a->time);
        EXPECT_EQ(b->samprate, a->samprate);
        EXPECT_EQ(b->calib, a->calib);
        EXPECT_EQ(b->calper, a->calper);
        EXPECT_EQ(std::vector<int>(b->data, b->data + b->nsamp),
                  std::vector<int>(a->data, a->data + a->nsamp));
    }
    // Unstuffing into a used packet replaces its contents.
    ASSERT_EQ(unstuffPkt(srcname, time, packet, nbytes, &back), 0);
    EXPECT_EQ(back->nchannels, 2);

    // Anything but a whole packet is refused and leaves the old one.
    Packet *kept = back;
    for (int n : {0, 3, 23, 24 + 50, nbytes - 1}) {
        EXPECT_EQ(unstuffPkt(srcname, time, packet, n, &back), -1) << n;
        EXPECT_EQ(back, kept);
    }
    std::string longer(packet, static_cast<std::size_t>(nbytes));
    longer += "x";
    EXPECT_EQ(unstuffPkt(srcname, time, longer.data(), nbytes + 1, &back), -1);
    longer[0] = 'X';
    EXPECT_EQ(unstuffPkt(srcname, time, longer.data(), nbytes, &back), -1);
    std::free(packet);
    freePkt(back);
    freePkt(pkt);
}

TEST(Gannet, TheCallersBufferGrowsAndNeverShrinks) {
    struct Step {
        int nsamp;
        int nbytes;
        int bufsize;
    } steps[] = {
        {10, 24 + 102 + 40, 24 + 102 + 40},
        {100, 24 + 102 + 400, 24 + 102 + 400},
        {1, 24 + 102 + 4, 24 + 102 + 400},
        {100, 24 + 102 + 400, 24 + 102 + 400},
    };
    char *packet = nullptr;
    int nbytes = 0, bufsize = 0;
    for (const Step &s : steps) {
        Packet *pkt = sample_packet(1, s.nsamp);
        char srcname[64];
        ASSERT_EQ(stuffPkt(pkt, srcname, nullptr, &packet, &nbytes, &bufsize), 0);
        EXPECT_EQ(nbytes, s.nbytes) << s.nsamp;
        EXPECT_EQ(bufsize, s.bufsize) << s.nsamp;
        freePkt(pkt);
    }
    std::free(packet);
}

TEST(Gannet, ChannelsThatCannotBeStuffedAreRefused) {
    struct Case {
        const char *what;
        int nsamp;
        bool null_data;
    } cases[] = {
        {"negative count", -1, false},
        {"too many samples", GANNET_MAX_SAMPLES + 1, false},
        {"no samples", 3, true},
    };
    for (const Case &c : cases) {
        Packet *pkt = sample_packet(1, 0);
        pkt->channels[0]->nsamp = c.nsamp;
        if (c.null_data) {
            std::free(pkt->channels[0]->data);
            pkt->channels[0]->data = nullptr;
        }
        char srcname[64] = "before";
        char *packet = nullptr;
        int nbytes = 7, bufsize = 0;
        EXPECT_EQ(stuffPkt(pkt, srcname, nullptr, &packet, &nbytes, &bufsize), -1) << c.what;
        EXPECT_EQ(packet, nullptr);
        EXPECT_EQ(nbytes, 7);
        EXPECT_STREQ(srcname, "before");
        pkt->channels[0]->nsamp = 0;
        freePkt(pkt);
    }
}

TEST(Gannet, ShowDescribesPackets) {
    Packet *pkt = sample_packet(2, 10);
    char srcname[64];
    double time = 0;
    char *packet = nullptr;
    int nbytes = 0, bufsize = 0;
    ASSERT_EQ(stuffPkt(pkt, srcname, &time, &packet, &nbytes, &bufsize), 0);
    const std::string head = "17 'DQ_FAK_BHZ/dbug' 2023-11-14 22:13:20.250 308 bytes\n"
                             "    dbug version 1, 2 channels\n";
    const std::string channels =
        "    DQ_FAK_BHZ V 2023-11-14 22:13:20.250 40 sps 10 samples calib 1.5 calper 2\n";
    const std::string second =
        "    DQ_FAK_BHN V 2023-11-14 22:13:21.250 40 sps 10 samples calib 1.5 calper 2\n";
    struct Case {
        int mode;
        std::string text;
    } cases[] = {
        {0, head},
        {1, head + channels + second},
        {4, head + channels + "      -2000 -1000 0 1000 2000 3000 4000 5000\n" + second +
                "      -4000 -2000 0 2000 4000 6000 8000 10000\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(printed([&](FILE *f) { showPkt(17, srcname, time, packet, nbytes, f, c.mode); }),
                  c.text)
            << c.mode;

    char other[] = "not a packet of ours";
    EXPECT_EQ(printed([&](FILE *f) {
                  showPkt(3, const_cast<char *>("AK_X_Y/raw"), 0.5, other, 20, f, 4);
              }),
              "3 'AK_X_Y/raw' 1970-01-01 00:00:00.500 20 bytes\n");
    std::free(packet);
    freePkt(pkt);
}

}  // namespace
