// Settings and queries of a handle through key/value lists ended by key 0.
#include "_torvik.h"

#include <cstdarg>
#include <cstdlib>

#include "alloc_private.h"

extern "C" {

int torvikset(int orb, ...) {
    Torvikfile *atorvik = fd2torvik(orb, nullptr);
    if (atorvik == nullptr) return -1;
    va_list args;
    va_start(args, orb);
    for (int key; (key = va_arg(args, int)) != 0;) {
        switch (key) {
        case TORVIK_SEGMENT_PERIOD: atorvik->segment_period = va_arg(args, int); break;
        case TORVIK_MAXPKTS: atorvik->maxpkts = va_arg(args, int); break;
        case TORVIK_MAX_SEGMENT_SIZE: atorvik->max_segment_size = va_arg(args, int); break;
        case TORVIK_REPRESENTATION: {
            const char *value = va_arg(args, char *);
            if (value != nullptr)
                torvik::copy_cut(atorvik->representation, value,
                                 sizeof atorvik->representation);
            break;
        }
        case TORVIK_CURRENT: atorvik->flags.current = va_arg(args, int) != 0; break;
        case TORVIK_SYNCHRONOUS: atorvik->flags.synchronous = va_arg(args, int) != 0; break;
        case TORVIK_VERBOSE: {
            int verbose = va_arg(args, int);
            atorvik->flags.verbose = verbose < 0 ? 0 : verbose > 3 ? 3 : verbose;
            break;
        }
        case TORVIK_MAXSIZE: atorvik->maxsize = va_arg(args, double); break;
        case TORVIK_MAXPKTID: atorvik->maxpktid = va_arg(args, int); break;
        case TORVIK_MAX_TIME_GAP: atorvik->max_time_gap = va_arg(args, int); break;
        default: break;  // not settable: consumes no value
        }
    }
    va_end(args);
    return 0;
}

int torvikquery(int orb, ...) {
    Torvikfile *atorvik = fd2torvik(orb, nullptr);
    if (atorvik == nullptr) return -1;
    Tbl *files = nullptr;
    double total = 0.0;
    bool listed = false, files_given = false;
    auto list_once = [&] {
        if (!listed) {
            torvikstat(orb, &files, &total);
            listed = true;
        }
    };
    va_list args;
    va_start(args, orb);
    for (int key; (key = va_arg(args, int)) != 0;) {
        switch (key) {
        case TORVIK_FIRST_PKTID: *va_arg(args, int *) = atorvik->first_pktid; break;
        case TORVIK_FIRST_TIME: *va_arg(args, int *) = atorvik->first_time; break;
        case TORVIK_SEGMENT_PERIOD: *va_arg(args, int *) = atorvik->segment_period; break;
        case TORVIK_MAXPKTS: *va_arg(args, int *) = atorvik->maxpkts; break;
        case TORVIK_MAX_SEGMENT_SIZE: *va_arg(args, int *) = atorvik->max_segment_size; break;
        case TORVIK_FILENAME:
            *va_arg(args, char **) = TORVIK_STRDUP(
                atorvik->filename != nullptr ? atorvik->filename : "", "filename");
            break;
        case TORVIK_REPRESENTATION:
            *va_arg(args, char **) = TORVIK_STRDUP(atorvik->representation, "representation");
            break;
        case TORVIK_MAXSIZE: *va_arg(args, double *) = atorvik->maxsize; break;
        case TORVIK_FILES:
            list_once();
            if (files_given) {
                // Asked twice: each answer is a list of its own.
                Tbl *again = nullptr;
                double ignored;
                torvikstat(orb, &again, &ignored);
                *va_arg(args, Tbl **) = again;
            } else {
                *va_arg(args, Tbl **) = files;
                files_given = true;
            }
            break;
        case TORVIK_TOTAL_BYTES:
            list_once();
            *va_arg(args, double *) = total;
            break;
        case TORVIK_MAX_TIME_GAP: *va_arg(args, int *) = atorvik->max_time_gap; break;
        default: break;  // not queryable: consumes nothing
        }
    }
    va_end(args);
    if (listed && !files_given) freetbl(files, std::free);
    return 0;
}

}  // extern "C"
