// reelhouse: serves one packet file or segment directory to the one
// client connected on standard input. Start-up: options, status, signals,
// the client's open (answered once the operand is open), then the request
// loop in this thread until the client goes.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "reelhouse.h"
#include "reelhouse_private.h"

namespace {

constexpr char kRevision[] = "$Revision: 1.25 $ $Date: 2006/08/05 22:38:55 $\n";

[[noreturn]] void usage() {
    std::fprintf(stderr, "Usage: %s [-abflvVx] filename\n", Program_Name);
    banner(Program_Name, const_cast<char *>(kRevision));
    std::exit(1);
}

}  // namespace

int main(int argc, char **argv) {
    elog_init(argc, argv);
    reelhouse::Options &options = reelhouse::options;
    int errors = 0, verbose = 0;
    bool debugger = false;
    int c;
    while ((c = getopt(argc, argv, "+abcfsUvVwx")) != -1) {
        switch (c) {
            case 'a':
            case 'b':
            case 'f':
            case 'x':
                options.representation[0] = static_cast<char>(c);
                options.representation[1] = '\0';
                break;
            case 's': options.sync = 1; break;
            case 'c': options.current = 1; break;
            case 'w': options.reset = 1; break;
            case 'U': debugger = true; break;
            case 'v': verbose++; break;
            case 'V': usage();
            default: errors++; break;
        }
    }
    if (errors > 0 || argc - optind != 1) usage();
    if (debugger) elog_debugger();
    if (verbose >= 2)
        elog_notify(0, "%s : $Revision: 1.25 $ $Date: 2006/08/05 22:38:55 $\n", argv[0]);
    char *name = argv[optind];

    setup_Status(REELHOUSE_PORT);
    Clients = newtbl(25);
    reelhouse::setup_halt_pipe();
    setup_signal_handlers(haltbysignal);
    ignoreSIGPIPE();
    // A write past the file size limit fails (and the put with it) rather
    // than ending the program.
    signal(SIGXFSZ, SIG_IGN);
    setup_mutexes();

    Orbclient_state *state = setup_state(STDIN_FILENO, name);
    if (state == nullptr) {
        reelhouse::close_handle();
        return 0;
    }
    client_thread(state);
    return 0;
}
