// Fuzz target for the expression compiler: whatever the text, compiling it
// for a table (with or without a wanted type), printing the tree and
// freeing it must neither crash, leak nor hang. The first byte chooses the
// table, the type and whether types are printed.
//
// Includes of anything but the harness's own file are passed over: they
// could name any file of the machine.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "expr_show.h"
#include "ledgeform_fuzz.h"

namespace {

bool includes_only_ours(const std::string &text) {
    for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + 1)) {
        if (text.compare(at + 1, 3, "inc") != 0) return false;
        char after = at + 4 < text.size() ? text[at + 4] : ' ';
        if (after != ' ' && after != '\t' && after != '\n') return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Dbptr db = ledgeform_fuzz::database();
    static Dbptr plain = dblookup(db, nullptr, "plain", nullptr, nullptr);
    static Dbptr group = dblookup(db, nullptr, "stagroup", nullptr, nullptr);
    static FILE *sink = std::fopen("/dev/null", "w");
    static bool moved = chdir(ledgeform_fuzz::scratch().c_str()) == 0;
    (void)moved;
    if (size == 0) return 0;
    uint8_t mode = data[0];
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    text = text.substr(0, text.find('\0'));
    if (!includes_only_ours(text)) return 0;
    Expression *tree = nullptr;
    dbex_compile(mode & 1 ? group : plain, text.c_str(), &tree, (mode >> 1) & 7);
    if (tree != nullptr) ledgeform::show_expression(sink, tree, mode & 16);
    dbex_free(tree);
    elog_clear();
    return 0;
}
