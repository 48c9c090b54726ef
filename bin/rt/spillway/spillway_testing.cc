// Test helpers for the ring-to-disk copier (see spillway_testing.h).
#include "spillway_testing.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "torvik_testing.h"

namespace spilltest {

const char *program() { return SPILLWAY_PROGRAM; }

std::string ring_name(int port) { return "127.0.0.1:" + std::to_string(port); }

std::vector<Packet> packets_of(const std::string &dir) {
    std::vector<Packet> packets;
    torvik_testing::Reader reader(dir);
    if (reader.id() < 0) return packets;
    for (;;) {
        const torvik_testing::Got got = reader.reap();
        if (got.result != 0) break;
        packets.push_back(Packet{got.pktid, got.src, got.time, got.body});
    }
    return packets;
}

namespace {

std::string describe(const Packet &p) {
    std::ostringstream s;
    s.precision(17);
    s << "#" << p.pktid << " " << p.srcname << " " << p.time << " (" << p.body.size() << " bytes)";
    return s.str();
}

}  // namespace

::testing::AssertionResult same_packets(const std::vector<Packet> &source,
                                        const std::vector<Packet> &copy) {
    for (std::size_t i = 0; i < source.size() && i < copy.size(); i++)
        if (!source[i].same(copy[i]))
            return ::testing::AssertionFailure() << "packet " << i << " differs: source "
                                                 << describe(source[i]) << ", copy "
                                                 << describe(copy[i]);
    if (source.size() != copy.size())
        return ::testing::AssertionFailure() << "the source holds " << source.size()
                                             << " packets, the copy " << copy.size();
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult copy_with_repeats(const std::vector<Packet> &source,
                                             const std::vector<Packet> &copy, int restarts,
                                             int most_back, int *repeats) {
    *repeats = 0;
    std::size_t next = 0;  // the source packet the copy is to hold next
    int backs = 0;
    for (std::size_t i = 0; i < copy.size(); i++) {
        if (next < source.size() && copy[i].same(source[next])) {
            next++;
            continue;
        }
        // A restart went back to a packet already copied: find it close
        // behind.
        std::size_t back = 0;
        bool found = false;
        for (back = 1; back <= next && back <= static_cast<std::size_t>(most_back); back++)
            if (copy[i].same(source[next - back])) {
                found = true;
                break;
            }
        if (!found)
            return ::testing::AssertionFailure()
                   << "copy packet " << i << " " << describe(copy[i])
                   << " is neither the next source packet nor a packet at most " << most_back
                   << " back (next source packet " << next << ")";
        if (++backs > restarts)
            return ::testing::AssertionFailure()
                   << "the copy goes back " << backs << " times, more than the " << restarts
                   << " restarts (at copy packet " << i << ")";
        next = next - back + 1;
        *repeats += static_cast<int>(back);
        // The packets from there on repeat until the copy is past `next`.
    }
    // Repeats are counted as the packets between the place gone back to
    // and the place left; packets after that count as new.
    if (next != source.size())
        return ::testing::AssertionFailure() << "the copy ends after source packet " << next
                                             << " of " << source.size();
    return ::testing::AssertionSuccess();
}

Copier::Copier() = default;

Copier::~Copier() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status;
        waitpid(pid_, &status, 0);
    }
    for (const std::string &text : {out(), err()})
        for (const char *report : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer",
                                   "ERROR: LeakSanitizer", "runtime error:"})
            if (text.find(report) != std::string::npos) ADD_FAILURE() << text;
}

void Copier::start(const std::vector<std::string> &args, long fsize) {
    const std::string outfile = scratch_.file("out");
    const std::string errfile = scratch_.file("err");
    pid_ = fork();
    if (pid_ == 0) {
        for (const char *v : {"ELOG_MAXMSG", "ELOG_WAIT", "ELOG_SIGNALS", "ELOG_DELIVER",
                              "ELOG_TAG", "ELOG_DEBUG"})
            unsetenv(v);
        setenv("BNS_TIMEOUT", "20000", 1);
        if (fsize > 0) {
            rlimit rl = {static_cast<rlim_t>(fsize), static_cast<rlim_t>(fsize)};
            setrlimit(RLIMIT_FSIZE, &rl);
            // Ignored already when the program starts (an emulator in
            // between included): a write past the limit fails.
            ::signal(SIGXFSZ, SIG_IGN);
        }
        const int out = ::open(outfile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int err = ::open(errfile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(out, 1);
        dup2(err, 2);
        for (int fd = 3; fd < 4096; fd++) ::close(fd);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program()));
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(program(), argv.data());
        _exit(127);
    }
}

void Copier::signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
}

bool Copier::reaped() {
    return vktest::reap_exit(&pid_, &exit_status_);
}

bool Copier::running() { return !reaped(); }

int Copier::wait_exit(double seconds) {
    return vktest::eventually([&] { return reaped(); }, seconds) ? exit_status_ : -1;
}

std::string Copier::out() const { return testsupport::read_file(scratch_.file("out")); }

std::string Copier::err() const { return testsupport::read_file(scratch_.file("err")); }

Outcome run(const std::vector<std::string> &args, double seconds, long fsize) {
    Copier copier;
    copier.start(args, fsize);
    Outcome result;
    result.status = copier.wait_exit(seconds);
    result.out = copier.out();
    result.err = copier.err();
    return result;
}

Saved saved_position(const std::string &dir) {
    Saved saved;
    const std::string text = testsupport::read_file(dir + "/state");
    // Lines of name, tab and value; a value of several words stands in a
    // block "&Literal{\n value}".
    auto value_of = [&](const std::string &name) -> std::string {
        const std::size_t at = text.find(name + "\t");
        if (at == std::string::npos || (at > 0 && text[at - 1] != '\n')) return "";
        std::string value = text.substr(at + name.size() + 1);
        if (value.rfind("&Literal{", 0) == 0) value = value.substr(value.find('\n') + 1);
        return value;
    };
    const std::string id = value_of("pktid");
    if (!id.empty()) saved.pktid = std::atoi(id.c_str());
    // The time text begins with the epoch seconds.
    const std::string time = value_of("time");
    if (!time.empty()) saved.time = std::atof(time.c_str());
    return saved;
}

}  // namespace spilltest
