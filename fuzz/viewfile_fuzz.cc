// Fuzz target for reading view files: whatever follows, a view file read
// into a new view (and, when one is made, written back and discarded) must
// neither crash, leak nor hang. The input's first line is the file's first
// line; the harness puts the line that names its own database after it (a
// view file names any database path, which the reader would open).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "ledgeform_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Dbptr db = ledgeform_fuzz::database();
    static FILE *sink = std::fopen("/dev/null", "w");
    static std::string database_line =
        "#Database " + ledgeform_fuzz::scratch() + "/quake " + std::to_string(db.database) + "\n";
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t nl = input.find('\n');
    std::string text = nl == std::string::npos
                           ? input + "\n" + database_line
                           : input.substr(0, nl + 1) + database_line + input.substr(nl + 1);
    FILE *file = fmemopen(text.data(), text.size(), "r");
    if (file == nullptr) return 0;
    Dbptr view = dbinvalid();
    // A view is made (and stored through view) also when the file ends
    // inside a record.
    dbread_view(file, &view, "fuzzview");
    if (view.table >= 0) {
        dbwrite_view(view, sink);
        dbfree(view);
    }
    std::fclose(file);
    elog_clear();
    return 0;
}
