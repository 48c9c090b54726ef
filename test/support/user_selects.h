// Selects of source names as users write them: a network, station,
// location, channel and packet-type part each, as literals, lists or
// classes, anchored or not, joined in every way people combine them.
#ifndef TEST_SUPPORT_USER_SELECTS_H
#define TEST_SUPPORT_USER_SELECTS_H

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace testsupport {

// n selects, the same for the same seed.
inline std::vector<std::string> user_selects(std::size_t n, std::uint32_t seed = 1) {
    static const char *const networks[] = {"AK", "TA", "II", "IU", "US", "AT", "AV", "CN", "N4", "XO"};
    static const char *const stations[] = {
        "ANM", "ATKA", "BRW", "COLD", "DIV", "FYU", "GHO", "KDAK", "MCK", "PAX", "RND", "SCM", "SKN",
        "SWD", "TRF", "WRH", "BMR", "CCB", "DCPH", "EYAK", "FID", "GLB", "HIN", "KNK", "M22K", "O19K",
        "PPLA", "R18K", "SAW", "TNA", "A21K", "COLA", "PMR", "SSN", "WAX", "Y22D", "H24K", "K24K"};
    static const char *const channels[] = {"BHZ", "BHN", "BHE", "HHZ", "HHN", "HHE", "LHZ", "LHN",
                                           "LHE", "SHZ", "EHZ", "BH1", "BH2", "HNZ", "LDO", "VM1"};
    static const char *const types[] = {"GENC", "MGENC", "MGENC/M40", "EXP/dlstat", "pf/st", "pf/dlcs",
                                        "pf/orb", "GENC/M8", "EXP/log"};
    std::mt19937 rng(seed);
    auto pick = [&](std::size_t k) { return static_cast<std::size_t>(rng() % k); };
    auto chance = [&](int percent) { return static_cast<int>(rng() % 100) < percent; };
    // A list of k distinct items of a table.
    auto list = [&](const char *const *table, std::size_t size, std::size_t k) {
        std::vector<bool> used(size);
        std::string s = "(";
        for (std::size_t i = 0; i < k && i < size; i++) {
            std::size_t j = pick(size);
            while (used[j]) j = (j + 1) % size;
            used[j] = true;
            s += (i != 0 ? "|" : "") + std::string(table[j]);
        }
        return s + ")";
    };
    auto network = [&]() -> std::string {
        switch (pick(7)) {
            case 0: case 1: return networks[pick(10)];
            case 2: return list(networks, 10, 2 + pick(4));
            case 3: return "[A-Z]{2}";
            case 4: return "[A-Z]{1,2}";
            case 5: return "[A-Z0-9]+";
            default: return "..";
        }
    };
    auto station = [&]() -> std::string {
        switch (pick(10)) {
            case 0: case 1: case 2: return stations[pick(38)];
            case 3: return list(stations, 38, 2 + pick(6));
            case 4: return list(stations, 38, 8 + pick(30));
            case 5: return "[A-Z0-9]{3,5}";
            case 6: return "[A-Z0-9]+";
            case 7: return "[^_]*";
            case 8: return std::string(stations[pick(38)]).substr(0, 2) + "[A-Z0-9]{1,3}";
            default: return "...";
        }
    };
    auto location = [&]() -> std::string {
        switch (pick(6)) {
            case 0: return "(_[0-9]{2})?";
            case 1: return "_[0-9]{2}";
            case 2: return "(_00|_10)?";
            default: return "";
        }
    };
    auto channel = [&]() -> std::string {
        switch (pick(10)) {
            case 0: case 1: return channels[pick(16)];
            case 2: return "BH[ZNE]";
            case 3: return "[BHLSE][HNL][ZNE123]";
            case 4: return list(channels, 16, 2 + pick(9));
            case 5: return ".H.";
            case 6: return "..Z";
            case 7: return "[BHL]H.";
            case 8: return "[BH]H[ZNE12]";
            default: return "BH.";
        }
    };
    auto type = [&]() -> std::string {
        switch (pick(8)) {
            case 0: case 1: return std::string("/") + types[pick(9)];
            case 2: return "/" + list(types, 9, 2 + pick(5));
            case 3: return "(/.*)?";
            case 4: return "/.*";
            case 5: return "/M?GENC";
            default: return "";
        }
    };
    std::vector<std::string> out;
    while (out.size() < n) {
        std::string s;
        switch (pick(9)) {
            case 0: case 1: case 2: case 3:  // every part
                s = network() + "_" + station() + location() + "_" + channel() + type();
                break;
            case 4:  // network and channel, anything between
                s = network() + "_.*" + (chance(50) ? "_" : "") + channel() + type();
                break;
            case 5:  // a station and what follows, any network
                s = ".*" + station() + "_" + (chance(50) ? channel() : std::string(".*")) + type();
                break;
            case 6:  // a part anywhere
                s = ".*" + (chance(30)   ? station()
                            : chance(50) ? channel()
                                         : type()) +
                    (chance(50) ? ".*" : "");
                break;
            case 7: {  // a list of whole names
                const std::size_t k = 2 + pick(12);
                s = "(";
                for (std::size_t i = 0; i < k; i++)
                    s += (i != 0 ? "|" : "") + std::string(networks[pick(10)]) + "_" + stations[pick(38)] +
                         "_" + channels[pick(16)];
                s += ")" + type();
                break;
            }
            default:  // several selects in one
                s = "(" + network() + "_" + station() + "_" + channel() + ")|(" + network() + "_" +
                    station() + "_" + channel() + ")" + type();
                break;
        }
        if (chance(15)) s = "^" + s + "$";
        else if (chance(15)) s = ".*" + s;
        else if (chance(10)) s = s + ".*";
        out.push_back(s);
    }
    return out;
}

}  // namespace testsupport

#endif
