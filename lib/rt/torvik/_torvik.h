// Private to libtorvik: the writer's flag bits and the helpers the
// library's modules share.
#ifndef TORVIK_PRIVATE_H
#define TORVIK_PRIVATE_H

#define TORVIK_PRIVATE_FLAGS \
    unsigned int written : 1;  /* a packet went into the current file */ \
    unsigned int newsegment : 1; /* the next put starts a new file */

#include "torvik.h"


#ifdef __cplusplus
#include <cstddef>
#include <cstring>

namespace torvik {

// The largest byte count a header read from a file may declare; a larger
// one is a corrupt header, never an allocation.
constexpr int kMaxPacketBytes = 64 << 20;

// Bytes the encoded header of a fake packet takes for this source name
// (a fake packet must be at least that plus 5 bytes of fill).
int fake_header_size(const char *srcname);

// Source name of the end-of-segment marker.
inline constexpr const char kMarkerName[] = "LastSegmentPacket";

// True when a source name buffer of 64 bytes holds the marker's name.
inline bool is_marker(const char *srcname) {
    return std::memcmp(srcname, kMarkerName, sizeof kMarkerName) == 0;
}

// Reads the body that follows a parsed header into the handle's packet
// buffer (the representation's first letter decides how) and sets the
// handle's byte count. 0, or -1 when the body could not be read whole.
// srcname receives the source name of a synthesised packet.
int read_body(Torvikfile *atorvik, const char *representation, char *srcname,
              double time, int nbytes);

// The handle's packet buffer holds at least `bytes` bytes afterwards
// (replaced by one of exactly that size when smaller).
void grow_packet(Torvikfile *atorvik, int bytes);

// A source name buffer as the header reader fills it: a string, zeroed
// beyond it when the buffer was made zeroed, so that it is copied whole.
using SourceName = char[64];

// Stores the index entry of the handle's current packet (its pktid) at
// its slot: the header offset, the time as read and the source name.
inline void store_entry(Torvikfile *atorvik, long fpos, double time, const SourceName &srcname) {
    const int slot = atorvik->pktid - atorvik->first_pktid;
    if (slot < 0) return;
    Tbl *index = atorvik->index;
    // Once the list has grown to hold the file's packets, an entry is
    // written where it stands, as settbl would write it.
    if (slot < index->right && index->direct && index->image == nullptr &&
        index->entry_size == static_cast<int>(sizeof(TorvikPkt))) [[likely]] {
        TorvikPkt *entry = reinterpret_cast<TorvikPkt *>(index->base.cp) + slot;
        entry->pktid = atorvik->pktid;
        entry->fpos = fpos;
        entry->time = time;
        std::memcpy(entry->srcname, srcname, sizeof entry->srcname);
        entry->srcname[sizeof entry->srcname - 1] = '\0';
        if (slot >= index->active_right) index->active_right = slot + 1;
        return;
    }
    TorvikPkt entry{atorvik->pktid, fpos, time, {}};
    std::memcpy(entry.srcname, srcname, sizeof entry.srcname);
    entry.srcname[sizeof entry.srcname - 1] = '\0';
    settbl(index, slot, &entry);
}

// Reads a time written as a plain decimal with a point and a whole part
// other than 0 ("-"? digits "." digits) from text on, before limit: the
// end of its digits, with the nearest double in *value, exactly as the
// time parser reads that text; null for any other form, which is the time
// parser's to read.
const char *scan_plain_time(const char *text, const char *limit, double *value);

// Copies at most size - 1 characters of s into dst, terminated.
void copy_cut(char *dst, const char *s, std::size_t size);

// A string made by the library for the caller, adopted so that it is
// freed on every path.
struct FreeDeleter {
    void operator()(void *p) const noexcept;
};

}  // namespace torvik
#endif

#endif
