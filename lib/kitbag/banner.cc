// The usage banner the programs print.
#include <sys/stat.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "elog.h"
#include "kitbag.h"

namespace {

constexpr char kProduct[] = "Korvanel";
constexpr char kRelease[] = "7.2.3";

// Who to call: lines of the contact block.
constexpr char kCompany[] = "Korvanel Instruments Ltd.";
constexpr char kStreet[] = "14 Quarry Lane";
constexpr char kCity[] = "Cairnford CF3 9QT, United Kingdom";
constexpr char kPhone[] = "+44 1632 960418";
constexpr char kSupport[] = "support@korvanel.example";

// The build date, from the compiler's "Mmm dd yyyy", as yyyy-mm-dd.
void build_date(char *out, std::size_t size) {
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const char *date = __DATE__;
    int month = 0;
    for (int m = 0; m < 12; m++)
        if (std::strncmp(months + 3 * m, date, 3) == 0) month = m + 1;
    int day = (date[4] == ' ' ? 0 : date[4] - '0') * 10 + (date[5] - '0');
    std::snprintf(out, size, "%.4s-%02d-%02d", date + 7, month % 100, day % 100);
}

// The value of an os-release line after "KEY=": quotes removed and
// backslash escapes undone, into out (at most size - 1 characters).
void os_release_value(const char *value, char *out, std::size_t size) {
    std::size_t n = 0;
    char quote = (*value == '"' || *value == '\'') ? *value++ : '\0';
    for (; *value != '\0' && *value != '\n'; value++) {
        if (quote != '\0' && *value == quote) break;
        if (quote == '"' && *value == '\\' && value[1] != '\0' && value[1] != '\n') value++;
        if (n + 1 < size) out[n++] = *value;
    }
    out[n] = '\0';
}

// "NAME VERSION_ID" of the distribution, from os-release.
void distribution(char *out, std::size_t size) {
    FILE *file = std::fopen("/etc/os-release", "r");
    if (file == nullptr) file = std::fopen("/usr/lib/os-release", "r");
    char name[128] = "", version[128] = "", pretty[128] = "";
    if (file != nullptr) {
        char line[512];
        bool line_start = true;
        while (std::fgets(line, sizeof line, file) != nullptr) {
            // The tail of an overlong line is not a line of its own.
            bool at_start = line_start;
            line_start = std::strchr(line, '\n') != nullptr;
            if (!at_start) continue;
            if (std::strncmp(line, "NAME=", 5) == 0)
                os_release_value(line + 5, name, sizeof name);
            else if (std::strncmp(line, "VERSION_ID=", 11) == 0)
                os_release_value(line + 11, version, sizeof version);
            else if (std::strncmp(line, "PRETTY_NAME=", 12) == 0)
                os_release_value(line + 12, pretty, sizeof pretty);
        }
        std::fclose(file);
    }
    if (name[0] != '\0' && version[0] != '\0')
        std::snprintf(out, size, "%s %s", name, version);
    else if (name[0] != '\0')
        std::snprintf(out, size, "%s", name);
    else if (pretty[0] != '\0')
        std::snprintf(out, size, "%s", pretty);
    else
        std::snprintf(out, size, "unknown");
}

}  // namespace

extern "C" int banner(char *program, char *revision) {
    const char *name = program;
    if (name == nullptr || *name == '\0') name = Program_Name;
    if (name == nullptr || *name == '\0') name = getexecname();

    // Version-control keywords give their values alone.
    char text[512];
    std::snprintf(text, sizeof text, "%s", revision != nullptr ? revision : "");
    if (delstr(text, const_cast<char *>("$Revision: "))) delstr(text, const_cast<char *>(" $"));
    if (delstr(text, const_cast<char *>("$Date: "))) delstr(text, const_cast<char *>(" $"));

    int rc = std::fprintf(stderr, "\n%s %s\n", name, text);

    struct stat st;
    const char *exec = getexecname();
    char when[64];
    if (exec[0] != '\0' && stat(exec, &st) == 0 && ctime_r(&st.st_mtime, when) != nullptr)
        rc = std::fprintf(stderr, "    %s\n", when);

    struct utsname host;
    if (uname(&host) != 0) {
        std::strcpy(host.sysname, "unknown");
        std::strcpy(host.release, "unknown");
    }
    char distro[256];
    distribution(distro, sizeof distro);
    char date[32];
    build_date(date, sizeof date);
    rc = std::fprintf(stderr, "** %s Release %s %s %s %s %s  **\n", kProduct, kRelease,
                      host.sysname, distro, host.release, date);

    rc = std::fprintf(stderr,
                      "\n"
                      "\t%s\n"
                      "\t%s\n"
                      "\t%s\n"
                      "\n"
                      "\tTel. %s - please report problems to %s\n"
                      "\n",
                      kCompany, kStreet, kCity, kPhone, kSupport);
    return rc;
}
