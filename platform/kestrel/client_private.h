// Calls of the client side that the library uses itself.
#ifndef KESTREL_CLIENT_PRIVATE_H
#define KESTREL_CLIENT_PRIVATE_H

namespace kestrel {

// Puts one packet on a connection opened for writing and waits for the
// acknowledgement: 0, or -1.
int put_packet(int orb, char *srcname, double time, char *packet, int nbytes);

}  // namespace kestrel

#endif
