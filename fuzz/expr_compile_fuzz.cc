// Fuzz target for the expression compiler: whatever the text, compiling it
// for a table (with or without a wanted type), printing the tree and
// freeing it must neither crash, leak nor hang. The first byte chooses the
// table, the type and whether types are printed.
//
// Includes of anything but the harness's own file are passed over: they
// could name any file of the machine. The harness's file "inc" is named by
// its absolute path, so that the process keeps its working directory (where
// libFuzzer finds the corpus and artifact paths it was given).
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

// The text with each include of "inc" naming the harness's file by its path.
std::string with_include_path(const std::string &text) {
    const std::string path = "@" + ledgeform_fuzz::scratch() + "/inc";
    std::string out;
    std::size_t from = 0;
    for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + 1)) {
        out.append(text, from, at - from).append(path);
        from = at + 4;
    }
    return out.append(text, from, std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Dbptr db = ledgeform_fuzz::database();
    static Dbptr plain = dblookup(db, nullptr, "plain", nullptr, nullptr);
    static Dbptr group = dblookup(db, nullptr, "stagroup", nullptr, nullptr);
    static FILE *sink = std::fopen("/dev/null", "w");
    if (size == 0) return 0;
    uint8_t mode = data[0];
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    text = text.substr(0, text.find('\0'));
    if (!includes_only_ours(text)) return 0;
    text = with_include_path(text);
    Expression *tree = nullptr;
    dbex_compile(mode & 1 ? group : plain, text.c_str(), &tree, (mode >> 1) & 7);
    if (tree != nullptr) ledgeform::show_expression(sink, tree, mode & 16);
    dbex_free(tree);
    elog_clear();
    return 0;
}
