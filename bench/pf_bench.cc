// Parsing a parameter file of about 1 MB: plain keys and values, comments,
// escapes, nested lists and arrays, literal blocks and function values.
#include <benchmark/benchmark.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "pf.h"
#include "support/ratio_main.h"

namespace {

std::string megabyte_of_parameters() {
    std::string text;
    int i = 0;
    while (text.size() < (std::size_t{1} << 20)) {
        const std::string n = std::to_string(i++);
        text += "# section " + n + "\n";
        text += "name_" + n + "\tvalue number " + n + "   # trailing comment\n";
        text += "path_" + n + " /opt/korvanel/data/station_" + n + "/file.pf\n";
        text += "escaped_" + n + " a\\#b\\tc \\101\n";
        text += "list_" + n + " &Tbl{\n    first " + n + "\n    second\n    &Arr{\n        k v\n"
                "        deep &Tbl{\n            x\n        }\n    }\n}\n";
        text += "array_" + n + " &Arr{\n    host sta" + n + ".example.org\n    port 6510\n}\n";
        text += "literal_" + n + " &Literal{\n  verbatim {text} here\n}\n";
        text += "function_" + n + " &env(HOME)\n";
    }
    return text;
}

void BM_parse_pfcompile(benchmark::State &state) {
    const std::string text = megabyte_of_parameters();
    for (auto _ : state) {
        Pf *pf = nullptr;
        pfcompile(text.c_str(), &pf);
        benchmark::DoNotOptimize(pf);
        pffree(pf);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
}

void BM_parse_pfinfd(benchmark::State &state) {
    const std::string text = megabyte_of_parameters();
    int fd = memfd_create("pf_bench", 0);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        state.SkipWithError("no memory file");
        return;
    }
    for (auto _ : state) {
        lseek(fd, 0, SEEK_SET);
        Pf *pf = nullptr;
        pfinfd(fd, &pf);
        benchmark::DoNotOptimize(pf);
        pffree(pf);
    }
    close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
}

BENCHMARK(BM_parse_pfcompile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_parse_pfinfd)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) { return benchsupport::ratio_main(argc, argv, {}); }
