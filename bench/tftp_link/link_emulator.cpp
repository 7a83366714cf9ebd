// mervo-link-emulator: a point-to-point link between two network namespaces,
// in user space, for the TFTP and fleet benchmarks (this kernel has no netem).
//
// It creates a TUN device in each namespace and copies every packet that one
// side's kernel sends into the other side's device. On its way each packet
//   1. waits in a queue for the link's rate: a token bucket of --rate-mbit
//      (100 Mbit/s unless told; 0 for no limit) holding --burst-bytes (1500),
//      behind a queue of at most --queue-bytes (128 KiB) that drops what does
//      not fit, as a switch port does (each direction has its own bucket and
//      queue, shared by every connection that crosses the link);
//   2. is lost with probability --loss, drawn from a generator seeded with
//      --seed (one per direction), so a run can be repeated;
//   3. is held --delay-us microseconds, the time it takes along the cable.
// Addresses and routes are left to the caller (ip -n NS addr add ...).
//
// Prints "ready" once both devices exist; on SIGUSR1 one JSON line
// {"event":"link_counts",...} with the counts so far; at the end one JSON
// line {"event":"link",...}: per direction the packets and bytes taken,
// those dropped (in all, by the full queue, by loss), delivered, the longest
// queue and the time the link was busy sending. Ends on SIGINT, SIGTERM or
// SIGHUP, after --max-seconds, or after --max-packets packets.
//
// Usage: mervo-link-emulator --ns-a NAME --ns-b NAME [--dev NAME] [--delay-us N]
//        [--loss P] [--seed N] [--rate-mbit R] [--queue-bytes N] [--burst-bytes N]
//        [--max-seconds N] [--max-packets N]
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

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
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

// The rate of one direction: a token bucket that fills at `bytes_per_ns` up
// to `burst` bytes, and the queue in front of it. A packet leaves the queue
// once the bucket holds its size; the queue keeps at most `limit` bytes of
// packets that have not left yet and drops a packet that does not fit.
struct rate_limit {
    double bytes_per_ns = 0; // 0: no limit
    double burst = 0;
    long long limit = 0;

    nanoseconds last_departure = 0; // when the latest packet left the bucket
    double tokens = 0;              // what the bucket held right after that
    std::deque<std::pair<nanoseconds, long long>> queue; // departure and size of the packets still queued
    long long queued_bytes = 0;
    long long queue_peak = 0;
    double busy_ns = 0; // time the link spent sending

    // When a packet of `size` bytes arriving at `at` leaves, or nothing when
    // the queue has no room for it.
    std::optional<nanoseconds> admit(nanoseconds at, long long size)
    {
        if (bytes_per_ns <= 0)
            return at;
        while (!queue.empty() && queue.front().first <= at) {
            queued_bytes -= queue.front().second;
            queue.pop_front();
        }
        if (queued_bytes + size > limit)
            return std::nullopt;
        nanoseconds leaves = std::max(at, last_departure);
        double held = std::min(std::max(burst, static_cast<double>(size)),
                               tokens + static_cast<double>(leaves - last_departure) * bytes_per_ns);
        if (held < static_cast<double>(size)) {
            leaves += static_cast<nanoseconds>(std::ceil((static_cast<double>(size) - held) / bytes_per_ns));
            held = static_cast<double>(size);
        }
        tokens = held - static_cast<double>(size);
        last_departure = leaves;
        queue.emplace_back(leaves, size);
        queued_bytes += size;
        queue_peak = std::max(queue_peak, queued_bytes);
        busy_ns += static_cast<double>(size) / bytes_per_ns;
        return leaves;
    }
};

// One direction of the link: packets read from `from` go to `to`.
struct direction {
    direction(const char *label, int in, int out, std::uint64_t seed, double loss, const rate_limit &limit)
        : name(label), from(in), to(out), random(seed), drop(loss), rate(limit)
    {
    }

    const char *name;
    int from;
    int to;
    std::mt19937_64 random;
    std::bernoulli_distribution drop;
    rate_limit rate;
    std::deque<held_packet> held;
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(65536);
    long long packets = 0, bytes = 0, dropped = 0, dropped_bytes = 0, dropped_queue = 0, dropped_loss = 0,
              delivered = 0, delivered_bytes = 0, write_errors = 0;

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
            const std::optional<nanoseconds> leaves = rate.admit(now(), length);
            // A packet lost on the wire has taken its time on the link.
            const bool queue_full = !leaves;
            if (queue_full || drop(random)) {
                ++(queue_full ? dropped_queue : dropped_loss);
                ++dropped;
                dropped_bytes += length;
                continue;
            }
            held.push_back({*leaves + delay, std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + length)});
        }
        return true;
    }

    void release(nanoseconds at)
    {
        while (!held.empty() && held.front().release <= at) {
            if (write(to, held.front().bytes.data(), held.front().bytes.size()) < 0) {
                ++write_errors;
            } else {
                ++delivered;
                delivered_bytes += static_cast<long long>(held.front().bytes.size());
            }
            held.pop_front();
        }
    }

    void report(std::string &out) const
    {
        char text[512];
        std::snprintf(text, sizeof text,
                      "\"%s\":{\"packets\":%lld,\"bytes\":%lld,\"dropped\":%lld,\"dropped_bytes\":%lld,"
                      "\"dropped_queue\":%lld,\"dropped_loss\":%lld,\"delivered\":%lld,\"delivered_bytes\":%lld,"
                      "\"write_errors\":%lld,\"queue_peak_bytes\":%lld,\"busy_ms\":%.1f}",
                      name, packets, bytes, dropped, dropped_bytes, dropped_queue, dropped_loss, delivered,
                      delivered_bytes, write_errors, rate.queue_peak, rate.busy_ns / 1e6);
        out += text;
    }
};

volatile sig_atomic_t stop_signal = 0;
volatile sig_atomic_t counts_wanted = 0;
void on_signal(int number) { stop_signal = number; }
void on_counts(int) { counts_wanted = 1; }

// Both directions' counts as JSON members.
std::string counts(const direction (&ways)[2])
{
    std::string out;
    ways[0].report(out);
    out += ",";
    ways[1].report(out);
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    std::string ns_a, ns_b, dev = "mervo0";
    long long delay_us = 1250, seed = 1, max_seconds = 600, max_packets = 2000000, queue_bytes = 131072,
              burst_bytes = 1500;
    double loss = 0, rate_mbit = 100;
    static const option OPTIONS[] = {
        {"ns-a", required_argument, nullptr, 'a'},        {"ns-b", required_argument, nullptr, 'b'},
        {"dev", required_argument, nullptr, 'd'},         {"delay-us", required_argument, nullptr, 'D'},
        {"loss", required_argument, nullptr, 'l'},        {"seed", required_argument, nullptr, 's'},
        {"max-seconds", required_argument, nullptr, 't'}, {"max-packets", required_argument, nullptr, 'n'},
        {"rate-mbit", required_argument, nullptr, 'r'},   {"queue-bytes", required_argument, nullptr, 'q'},
        {"burst-bytes", required_argument, nullptr, 'B'}, {nullptr, 0, nullptr, 0},
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
        case 'r': rate_mbit = std::atof(optarg); break;
        case 'q': queue_bytes = std::atoll(optarg); break;
        case 'B': burst_bytes = std::atoll(optarg); break;
        default: return 2;
        }
    }
    if (ns_a.empty() || ns_b.empty() || delay_us < 0 || loss < 0 || loss >= 1 || max_seconds <= 0 || max_packets <= 0 ||
        rate_mbit < 0 || queue_bytes < 1500 || burst_bytes < 0) {
        std::fputs("usage: mervo-link-emulator --ns-a NAME --ns-b NAME [--dev NAME] [--delay-us N] [--loss P]"
                   " [--seed N] [--rate-mbit R] [--queue-bytes N (at least 1500)] [--burst-bytes N]"
                   " [--max-seconds N] [--max-packets N]\n",
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
    struct sigaction counts_action{};
    counts_action.sa_handler = on_counts;
    sigaction(SIGUSR1, &counts_action, nullptr);

    const unique_fd tun_a = open_tun(ns_a, dev);
    const unique_fd tun_b = open_tun(ns_b, dev);
    const nanoseconds delay = delay_us * 1000;
    const auto first_seed = static_cast<std::uint64_t>(seed);
    rate_limit rate;
    rate.bytes_per_ns = rate_mbit * 1e6 / 8 / 1e9;
    rate.burst = static_cast<double>(burst_bytes);
    rate.limit = queue_bytes;
    direction ways[2] = {{"a_to_b", tun_a.get(), tun_b.get(), first_seed, loss, rate},
                         {"b_to_a", tun_b.get(), tun_a.get(), first_seed + 1, loss, rate}};
    std::puts("ready");
    std::fflush(stdout);

    const nanoseconds started = now();
    const nanoseconds deadline = started + max_seconds * 1000000000LL;
    long long budget = max_packets;
    const char *reason = "signal";
    while (!stop_signal) {
        nanoseconds next = deadline;
        for (const direction &way : ways)
            if (!way.held.empty() && way.held.front().release < next)
                next = way.held.front().release;
        // At most 100 ms, so that a signal that came just before ppoll is seen soon.
        const nanoseconds wait = std::min<nanoseconds>(next - now(), 100000000);
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
        if (counts_wanted) {
            counts_wanted = 0;
            std::printf("{\"event\":\"link_counts\",\"ms\":%lld,%s}\n",
                        static_cast<long long>((at - started) / 1000000), counts(ways).c_str());
            std::fflush(stdout);
        }
        if (!within_budget) {
            reason = "max-packets";
            break;
        }
        if (at >= deadline) {
            reason = "max-seconds";
            break;
        }
    }
    char settings[256];
    std::snprintf(settings, sizeof settings,
                  "\"delay_us\":%lld,\"loss\":%f,\"seed\":%lld,\"rate_mbit\":%g,\"queue_bytes\":%lld,"
                  "\"burst_bytes\":%lld,\"ms\":%lld,",
                  delay_us, loss, seed, rate_mbit, queue_bytes, burst_bytes,
                  static_cast<long long>((now() - started) / 1000000));
    std::printf("{\"event\":\"link\",\"ended_by\":\"%s\",%s%s}\n", reason, settings, counts(ways).c_str());
    return 0;
}
