// The generators of packet bodies that a packet file does not store: fake
// packets (an encoded Fakepkt and a verifiable random fill) and synthetic
// waveform packets (samples of imksignal stuffed by the packet library).
#include "_torvik.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "alloc_private.h"
#include "bns.h"
#include "elog.h"
#include "fake.h"
#include "gannet.h"
#include "randomfill.h"

namespace {

// ---- Fake packets ----

// The generator's state. The record is never destroyed, so that a process
// ending while another thread generates finds nothing torn down.
struct FakeGenerator {
    std::mutex lock;
    bool started = false;
    int seqid = 0;       // the process id, taken at the first packet
    int counter = 0;     // the next packet's sequence number
    int fill_index = 0;  // where the next fill starts in the random pattern
    Bns *bns = nullptr;  // the header is encoded here
};

FakeGenerator &fake_generator() {
    static FakeGenerator *g = new FakeGenerator;
    return *g;
}

// ---- Synthetic-signal packets ----

using Imksignal = int (*)(char *waveform, int *samples, double time, int nsamp,
                          double samprate, double t0, double freq, double slew, double amp);

// Largest sample count of one synthetic packet.
constexpr int kMaxSamples = 16777216;

struct SignalGenerator {
    std::mutex lock;
    Imksignal imksignal = nullptr;  // found at the first call that finds it
    Packet *pkt = nullptr;          // with its one channel
    int *idata = nullptr;           // the samples, lent to the channel
    std::size_t idata_count = 0;    // samples idata holds
    double t0 = 0.0;                // time of the first synthetic packet
};

SignalGenerator &signal_generator() {
    static SignalGenerator *g = new SignalGenerator;
    return *g;
}

// Sample rate, calib and calper by the letters of a channel code.
struct Rates {
    double samprate = 100.0;
    double calib = 1000.0;
    double calper = 1000.0;
};

Rates rates_for(const std::string &chan) {
    Rates r;
    const char first = chan.size() > 0 ? chan[0] : '\0';
    const char second = chan.size() > 1 ? chan[1] : '\0';
    switch (first) {
        case 'B': r.samprate = 40.0; break;
        case 'H': r.samprate = 100.0; break;
        case 'L': r.samprate = 1.0; break;
        case 'U': r.samprate = 0.01; break;
        case 'V': r.samprate = 0.1; break;
        default: r.samprate = 100.0; break;
    }
    switch (second) {
        case 'H': r.calib = r.calper = 1.0; break;
        case 'L': r.calib = r.calper = 10.0; break;
        default: r.calib = r.calper = 1000.0; break;  // B, U, V and the rest
    }
    return r;
}

// The parts of a source name net_sta_chan/waveform: split at the first
// "_", the last "_" and the first "/" when all three are there in that
// order, else the defaults.
struct SignalName {
    std::string net = "DQ";
    std::string sta = "FAK";
    std::string chan = "BHN";
    std::string waveform = "saw";
    double freq = 0.01;
};

SignalName parse_signal_name(const char *srcname) {
    SignalName n;
    const std::string s = srcname ? srcname : "";
    const std::size_t first = s.find('_');
    const std::size_t last = s.rfind('_');
    const std::size_t slash = s.find('/');
    if (first != std::string::npos && slash != std::string::npos && first < last &&
        last < slash) {
        n.net = s.substr(0, first);
        n.sta = s.substr(first + 1, last - first - 1);
        n.chan = s.substr(last + 1, slash - last - 1);
        n.waveform = s.substr(slash + 1);
    }
    // What follows the waveform's 3 letters is its frequency.
    if (n.waveform.size() > 3) {
        n.freq = std::atof(n.waveform.c_str() + 3);
        n.waveform.resize(3);
    }
    return n;
}

// Copies a code into a field of GANNET_CODE_SIZE bytes, cut to fit.
void set_code(char *field, const std::string &code) {
    std::memset(field, 0, GANNET_CODE_SIZE);
    std::memcpy(field, code.data(), std::min<std::size_t>(code.size(), GANNET_CODE_SIZE - 1));
}

}  // namespace

extern "C" {

int fakefill(char *representation, char *srcname, double time, char **packet, int *nbytes,
             int *bufsize) {
    FakeGenerator &g = fake_generator();
    std::unique_lock<std::mutex> lock(g.lock);
    if (!g.started) {
        g.seqid = static_cast<int>(getpid());
        g.bns = bnsnew(-1, 256);
        bnstimeout(g.bns, 0);
        g.started = true;
    }

    Fakepkt pkt;
    std::memset(&pkt, 0, sizeof pkt);
    initFakepkt(&pkt);
    if (representation != nullptr)
        std::memcpy(pkt.rep, representation, strnlen(representation, sizeof pkt.rep));
    // The name is kept with its terminator: at most 63 characters.
    const std::size_t nsrcname = srcname ? strnlen(srcname, sizeof pkt.srcname - 1) : 0;
    if (nsrcname > 0) std::memcpy(pkt.srcname, srcname, nsrcname);
    pkt.nsrcname = static_cast<unsigned>(nsrcname);
    pkt.time = time;
    const int wanted = *nbytes;
    pkt.nbytes = static_cast<unsigned>(wanted);
    const int sequence = g.counter;
    pkt.sequence = sequence;
    g.counter = static_cast<int>(static_cast<unsigned>(g.counter) + 1u);
    pkt.seqid = g.seqid;

    bnsclr(g.bns);
    pbnsFakepkt(g.bns, &pkt);
    const int header = g.bns->lp - g.bns->fp;
    if (header > wanted) {
        bnsclr(g.bns);
        lock.unlock();
        elog_die(0, "packet size (%d) is too small to contain header (%d)!!\n", wanted, header);
    }

    // The caller's buffer normally holds the packet already; a missing or
    // smaller one is grown to it.
    if (*packet == nullptr || (bufsize != nullptr && *bufsize < wanted)) {
        void *grown = std::realloc(*packet, static_cast<std::size_t>(wanted));
        if (grown == nullptr) {
            lock.unlock();
            torvik::out_of_memory(__FILE__, __LINE__, static_cast<std::size_t>(wanted), "packet");
        }
        *packet = static_cast<char *>(grown);
        if (bufsize != nullptr) *bufsize = wanted;
    }

    bns2buf(g.bns, *packet, header);
    if (wanted - header <= 4) {
        // fill_random ends the process for so short a fill: let it do so
        // without the generator's lock held.
        int index = g.fill_index;
        lock.unlock();
        fill_random(*packet + header, wanted - header, &index);
        return sequence;
    }
    fill_random(*packet + header, wanted - header, &g.fill_index);
    return sequence;
}

int fakesignal(char *representation, char *srcname, double time, char **packet, int *nsamp,
               int *bufsize) {
    SignalGenerator &g = signal_generator();
    std::lock_guard<std::mutex> lock(g.lock);

    const int wanted = *nsamp;
    if (wanted < 0 || wanted > kMaxSamples) {
        elog_complain(0, "fakesignal: can't make a packet of %d samples (0 to %d)\n", wanted,
                      kMaxSamples);
        return -1;
    }
    // The generator is whatever library of the process defines it; none of
    // ours does, so it is looked up when first needed.
    if (g.imksignal == nullptr)
        g.imksignal = reinterpret_cast<Imksignal>(dlsym(RTLD_DEFAULT, "imksignal"));
    if (g.imksignal == nullptr) {
        elog_complain(0,
                      "fakesignal: no synthetic-signal generator (imksignal) is loaded in this "
                      "process\n");
        return -1;
    }

    if (g.pkt == nullptr) {
        g.pkt = newPkt();
        setPktChannel(g.pkt, 0, newPktChannel());
        g.t0 = time;
    }
    Packet *pkt = g.pkt;
    PktChannel *pktchan = pkt->channels[0];

    const SignalName name = parse_signal_name(srcname);
    Rates rates = rates_for(name.chan);

    // After the representation's letter: "+" and "-" raise and lower the
    // sample rate, ">" and "<" calib and calper; anything else starts the
    // slew.
    double slew = 0.0;
    const char *p = representation ? representation : "";
    if (*p != '\0') p++;
    for (; *p != '\0'; p++) {
        if (*p == '+')
            rates.samprate *= 1.1;
        else if (*p == '-')
            rates.samprate *= 0.9;
        else if (*p == '>')
            rates.calib *= 1.1, rates.calper *= 1.1;
        else if (*p == '<')
            rates.calib *= 0.9, rates.calper *= 0.9;
        else
            break;
    }
    if (*p != '\0') slew = std::atof(p);

    std::memcpy(pktchan->segtype, "V", 2);
    pkt->version = 1;
    set_code(pktchan->net, name.net);
    set_code(pktchan->sta, name.sta);
    set_code(pktchan->chan, name.chan);
    set_code(pkt->parts.src_net, name.net);
    set_code(pkt->parts.src_sta, name.sta);
    set_code(pkt->parts.src_chan, name.chan);
    pktchan->time = time;
    pktchan->nsamp = wanted;
    pktchan->samprate = rates.samprate;
    pktchan->calib = rates.calib;
    pktchan->calper = rates.calper;

    const auto count = static_cast<std::size_t>(wanted);
    if (count > g.idata_count || g.idata == nullptr) {
        const std::size_t bytes = std::max<std::size_t>(count, 1) * sizeof(int);
        void *grown = std::realloc(g.idata, bytes);
        if (grown == nullptr) torvik::out_of_memory(__FILE__, __LINE__, bytes, "idata");
        g.idata = static_cast<int *>(grown);
        g.idata_count = std::max<std::size_t>(count, 1);
    }
    pktchan->data = g.idata;
    pktchan->datasz = 0;  // lent: the packet never frees it

    double amp = 100000.0;
    if (name.net == "SH")
        amp = 1000.0;
    else if (name.net == "S4")
        amp = 2147483647.0;

    std::string waveform = name.waveform;
    g.imksignal(waveform.data(), g.idata, time, wanted, rates.samprate, g.t0, name.freq, slew,
                amp);

    const Pkttype *type = suffix2pkttype("dbug");
    pkt->pkttype = type;
    set_code(pkt->parts.src_suffix, type ? type->suffix : "");

    double stuffed_time = time;
    if (stuffPkt(pkt, srcname, &stuffed_time, packet, nsamp, bufsize) < 0) {
        elog_complain(0, "fakesignal: can't stuff a packet of %d samples for '%s'\n", wanted,
                      srcname ? srcname : "");
        return -1;
    }
    return 0;
}

}  // extern "C"
