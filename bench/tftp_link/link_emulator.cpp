// mervo-link-emulator: a point-to-point link between two network namespaces,
// in user space, for the TFTP benchmark (this kernel has no netem).
//
// It creates a TUN device in each namespace and copies every packet that one
// side's kernel sends into the other side's device after holding it
// --delay-us microseconds; each packet is dropped with probability --loss,
// drawn from a generator seeded with --seed (one per direction), so a run
// can be repeated. Addresses are left to the caller (ip -n NS addr add ...).
//
// Prints "ready" once both devices exist, and at the end one JSON line with
// the packets and bytes each direction carried and dropped. Ends on SIGINT
// or SIGTERM, after --max-seconds, or after --max-packets packets.
//
// Usage: mervo-link-emulator --ns-a NAME --ns-b NAME [--dev NAME] [--delay-us N]
//        [--loss P] [--seed N] [--max-seconds N] [--max-packets N]
#include "controller-sim/unique_fd.h"

#include <fcntl.h>
#include <getopt.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace {

using nanoseconds = std::int64_t;

nanoseconds now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<nanoseconds>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

[[noreturn]] void fail(const std::string &message)
{
    std::fprintf(stderr, "mervo-link-emulator: %s: %s\n", message.c_str(), std::strerror(errno));
    std::exit(1);
}

// A TUN device named `dev` in network namespace `ns` (created by
// `ip netns add`); the caller's thread returns to its own namespace.
unique_fd open_tun(const std::string &ns, const std::string &dev)
{
    const unique_fd own(open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
    const unique_fd target(open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC));
    if (own.get() < 0 || target.get() < 0)
        fail("cannot open network namespace " + ns);
    if (setns(target.get(), CLONE_NEWNET) != 0)
        fail("setns " + ns);
    unique_fd tun(open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (tun.get() < 0)
        fail("/dev/net/tun");
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::snprintf(request.ifr_name, IFNAMSIZ, "%s", dev.c_str());
    if (ioctl(tun.get(), TUNSETIFF, &request) != 0)
        fail("TUNSETIFF " + dev + " in " + ns);
    if (setns(own.get(), CLONE_NEWNET) != 0)
        fail("setns back");
    return tun;
}

struct held_packet {
    nanoseconds release;
    std::vector<std::uint8_t> bytes;
};

// One direction of the link: packets read from `from` go to `to`.
struct direction {
    direction(const char *label, int in, int out, std::uint64_t seed, double loss)
        : name(label), from(in), to(out), random(seed), drop(loss)
    {
    }

    const char *name;
    int from;
    int to;
    std::mt19937_64 random;
    std::bernoulli_distribution drop;
    std::deque<held_packet> held;
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(65536);
    long long packets = 0, bytes = 0, dropped = 0, dropped_bytes = 0, delivered = 0, write_errors = 0;

    // Reads what is waiting (up to a bound, so that the other direction gets
    // its turn); false once the packet budget is spent.
    bool take(nanoseconds delay, long long &budget)
    {
        for (int i = 0; i < 64; ++i) {
            const ssize_t length = read(from, buffer.data(), buffer.size());
            if (length <= 0)
                break;
            ++packets;
            bytes += length;
            if (--budget <= 0)
                return false;
            if (drop(random)) {
                ++dropped;
                dropped_bytes += length;
                continue;
            }
            held.push_back({now() + delay, std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + length)});
        }
        return true;
    }

    void release(nanoseconds at)
    {
        while (!held.empty() && held.front().release <= at) {
            if (write(to, held.front().bytes.data(), held.front().bytes.size()) < 0)
                ++write_errors;
            else
                ++delivered;
            held.pop_front();
        }
    }

    void report(std::string &out) const
    {
        char text[256];
        std::snprintf(text, sizeof text,
                      "\"%s\":{\"packets\":%lld,\"bytes\":%lld,\"dropped\":%lld,\"dropped_bytes\":%lld,"
                      "\"delivered\":%lld,\"write_errors\":%lld}",
                      name, packets, bytes, dropped, dropped_bytes, delivered, write_errors);
        out += text;
    }
};

volatile sig_atomic_t stop_signal = 0;
void on_signal(int number) { stop_signal = number; }

} // namespace

int main(int argc, char **argv)
{
    std::string ns_a, ns_b, dev = "mervo0";
    long long delay_us = 1250, seed = 1, max_seconds = 600, max_packets = 2000000;
    double loss = 0;
    static const option OPTIONS[] = {
        {"ns-a", required_argument, nullptr, 'a'},        {"ns-b", required_argument, nullptr, 'b'},
        {"dev", required_argument, nullptr, 'd'},         {"delay-us", required_argument, nullptr, 'D'},
        {"loss", required_argument, nullptr, 'l'},        {"seed", required_argument, nullptr, 's'},
        {"max-seconds", required_argument, nullptr, 't'}, {"max-packets", required_argument, nullptr, 'n'},
        {nullptr, 0, nullptr, 0},
    };
    for (int c; (c = getopt_long(argc, argv, "", OPTIONS, nullptr)) != -1;) {
        switch (c) {
        case 'a': ns_a = optarg; break;
        case 'b': ns_b = optarg; break;
        case 'd': dev = optarg; break;
        case 'D': delay_us = std::atoll(optarg); break;
        case 'l': loss = std::atof(optarg); break;
        case 's': seed = std::atoll(optarg); break;
        case 't': max_seconds = std::atoll(optarg); break;
        case 'n': max_packets = std::atoll(optarg); break;
        default: return 2;
        }
    }
    if (ns_a.empty() || ns_b.empty() || delay_us < 0 || loss < 0 || loss >= 1 || max_seconds <= 0 || max_packets <= 0) {
        std::fputs("usage: mervo-link-emulator --ns-a NAME --ns-b NAME [--dev NAME] [--delay-us N] [--loss P]"
                   " [--seed N] [--max-seconds N] [--max-packets N]\n",
                   stderr);
        return 2;
    }
    // Wake-ups as close to the release times as the kernel allows.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    struct sigaction action{};
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);

    const unique_fd tun_a = open_tun(ns_a, dev);
    const unique_fd tun_b = open_tun(ns_b, dev);
    const nanoseconds delay = delay_us * 1000;
    const auto first_seed = static_cast<std::uint64_t>(seed);
    direction ways[2] = {{"a_to_b", tun_a.get(), tun_b.get(), first_seed, loss},
                         {"b_to_a", tun_b.get(), tun_a.get(), first_seed + 1, loss}};
    std::puts("ready");
    std::fflush(stdout);

    const nanoseconds deadline = now() + max_seconds * 1000000000LL;
    long long budget = max_packets;
    const char *reason = "signal";
    while (!stop_signal) {
        nanoseconds next = deadline;
        for (const direction &way : ways)
            if (!way.held.empty() && way.held.front().release < next)
                next = way.held.front().release;
        const nanoseconds wait = next - now();
        timespec timeout{};
        if (wait > 0) {
            timeout.tv_sec = wait / 1000000000;
            timeout.tv_nsec = wait % 1000000000;
        }
        pollfd fds[2] = {{tun_a.get(), POLLIN, 0}, {tun_b.get(), POLLIN, 0}};
        if (ppoll(fds, 2, &timeout, nullptr) < 0 && errno != EINTR)
            fail("ppoll");
        bool within_budget = true;
        for (int i = 0; i < 2; ++i)
            if (fds[i].revents & POLLIN)
                within_budget = ways[i].take(delay, budget) && within_budget;
        const nanoseconds at = now();
        for (direction &way : ways)
            way.release(at);
        if (!within_budget) {
            reason = "max-packets";
            break;
        }
        if (at >= deadline) {
            reason = "max-seconds";
            break;
        }
    }
    std::string report = "{\"event\":\"link\",\"ended_by\":\"" + std::string(reason) +
                         "\",\"delay_us\":" + std::to_string(delay_us) + ",\"loss\":" + std::to_string(loss) +
                         ",\"seed\":" + std::to_string(seed) + ",";
    ways[0].report(report);
    report += ",";
    ways[1].report(report);
    std::printf("%s}\n", report.c_str());
    return 0;
}
