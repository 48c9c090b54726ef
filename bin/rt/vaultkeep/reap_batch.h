// How the reap stream gathers packets into sends.
#ifndef VAULTKEEP_REAP_BATCH_H
#define VAULTKEEP_REAP_BATCH_H

#include <cstdint>

namespace vaultkeep {

// Packets that follow one another without a wait are gathered and sent
// together once this many bytes are waiting (or sooner, when the stream's
// buffer would have to grow for the next packet, or when no packet is
// ready).
constexpr int32_t kReapBatchBytes = 24 * 1024;

}  // namespace vaultkeep

#endif
