#include "tftp_relay.h"

#include "sim_log.h"
#include "unique_fd.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <list>
#include <utility>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

constexpr unsigned OP_RRQ = 1, OP_WRQ = 2, OP_DATA = 3, OP_ACK = 4, OP_ERROR = 5, OP_OACK = 6;
// A transfer that has been silent this long is over: tftpd-hpa gives up on
// a block after 63 s at its shortest timeout of one second.
constexpr auto IDLE_LIMIT = std::chrono::seconds(70);
// How long a transfer's sockets stay after its line, for late duplicates.
constexpr auto LINGER = std::chrono::seconds(10);
constexpr long DEFAULT_BLKSIZE = 512;

std::string address_text(const sockaddr_in &address)
{
    char host[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(address.sin_port));
}

bool same_address(const sockaddr_in &a, const sockaddr_in &b)
{
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// A UDP socket bound to `address` (port 0: any free one), or -1.
int bind_udp(const sockaddr_in &address)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

unsigned field16(const std::uint8_t *packet, std::size_t at) { return packet[at] << 8 | packet[at + 1]; }

// The NUL-terminated strings of a packet from offset `at` on; a last one
// without its NUL counts too.
std::vector<std::string> strings_of(const std::uint8_t *packet, std::size_t length, std::size_t at)
{
    std::vector<std::string> out;
    while (at < length) {
        const auto *start = reinterpret_cast<const char *>(packet + at);
        const std::size_t size = strnlen(start, length - at);
        out.emplace_back(start, size);
        at += size + 1;
    }
    return out;
}

// "name=value name=value" of option pairs from strings[first] on.
std::string option_text(const std::vector<std::string> &strings, std::size_t first)
{
    std::string out;
    for (std::size_t i = first; i + 1 < strings.size(); i += 2)
        out += (out.empty() ? "" : " ") + strings[i] + "=" + strings[i + 1];
    return out;
}

struct transfer {
    transfer(const sockaddr_in &from, int client_side, int server_side)
        : client(from), client_fd(client_side), server_fd(server_side), started(steady::now()), last_seen(started)
    {
    }

    sockaddr_in client;
    unique_fd client_fd; // the relay's transfer ID towards the client
    unique_fd server_fd; // the relay's side towards the server
    sockaddr_in server_tid{};
    bool server_known = false;
    steady::time_point started, last_seen, logged_at;
    bool logged = false;

    std::string request, file, mode, request_options;
    std::string reply = "none", reply_options;
    long blksize = DEFAULT_BLKSIZE;
    long long data_packets = 0, data_bytes = 0, data_resent = 0, acks = 0, acks_resent = 0;
    std::vector<std::pair<std::size_t, long long>> sizes; // run lengths, in order
    bool have_data = false, have_last_block = false, have_ack = false;
    unsigned last_data = 0, last_block = 0, last_ack = 0;
    std::string error_code, error_message, error_from;

    void request_packet(const std::uint8_t *packet, std::size_t length)
    {
        const std::vector<std::string> strings = strings_of(packet, length, 2);
        request = field16(packet, 0) == OP_RRQ ? "RRQ" : "WRQ";
        file = strings.size() > 0 ? strings[0] : "";
        mode = strings.size() > 1 ? strings[1] : "";
        request_options = option_text(strings, 2);
    }

    void data_packet(const std::uint8_t *packet, std::size_t length)
    {
        const unsigned block = field16(packet, 2);
        if (have_data && block == last_data) {
            ++data_resent;
            return;
        }
        const std::size_t size = length - 4;
        have_data = true;
        last_data = block;
        ++data_packets;
        data_bytes += static_cast<long long>(size);
        if (!sizes.empty() && sizes.back().first == size)
            ++sizes.back().second;
        else
            sizes.emplace_back(size, 1);
        if (static_cast<long>(size) < blksize) {
            have_last_block = true;
            last_block = block;
        }
    }

    // An acknowledgement (an OACK stands for the ACK of block 0); true when it
    // acknowledges the last block.
    bool ack_packet(unsigned block)
    {
        if (have_ack && block == last_ack)
            ++acks_resent;
        else if (have_ack || block != 0)
            ++acks;
        have_ack = true;
        last_ack = block;
        return have_last_block && block == last_block;
    }

    // Takes note of a packet going from one side to the other; true when the
    // transfer ends with it.
    bool note(const std::uint8_t *packet, std::size_t length, bool from_server)
    {
        if (length < 2)
            return false;
        const unsigned opcode = field16(packet, 0);
        const bool first_reply = from_server && reply == "none";
        switch (opcode) {
        case OP_DATA:
            if (length < 4)
                return false;
            if (first_reply)
                reply = "DATA";
            data_packet(packet, length);
            return false;
        case OP_ACK:
            if (length < 4)
                return false;
            if (first_reply)
                reply = "ACK";
            return ack_packet(field16(packet, 2));
        case OP_OACK: {
            if (first_reply) {
                reply = "OACK";
                const std::vector<std::string> strings = strings_of(packet, length, 2);
                reply_options = option_text(strings, 0);
                for (std::size_t i = 0; i + 1 < strings.size(); i += 2)
                    if (strings[i] == "blksize")
                        blksize = std::strtol(strings[i + 1].c_str(), nullptr, 10);
            }
            ack_packet(0);
            return false;
        }
        case OP_ERROR: {
            if (first_reply)
                reply = "ERROR";
            error_code = length >= 4 ? std::to_string(field16(packet, 2)) : "";
            const std::vector<std::string> strings = strings_of(packet, length, 4);
            error_message = strings.empty() ? "" : strings[0];
            error_from = from_server ? "server" : "client";
            return true;
        }
        default:
            return false;
        }
    }

    void log(const char *result)
    {
        std::string runs;
        for (const auto &[size, count] : sizes) {
            if (!runs.empty())
                runs += ' ';
            runs += std::to_string(size);
            runs += '*';
            runs += std::to_string(count);
        }
        log_line line("tftp_transfer");
        line.text("client", address_text(client))
            .text("request", request)
            .text("file", file)
            .text("mode", mode)
            .text("request_options", request_options)
            .text("reply", reply)
            .text("reply_options", reply_options)
            .number("blksize", blksize)
            .number("data_packets", data_packets)
            .number("data_bytes", data_bytes)
            .text("data_sizes", runs)
            .number("data_resent", data_resent)
            .number("acks", acks)
            .number("acks_resent", acks_resent)
            .text("result", result);
        if (!error_from.empty())
            line.text("error_code", error_code).text("error_message", error_message).text("error_from", error_from);
        line.number("duration_ms",
                    std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - started).count())
            .emit();
        logged = true;
        logged_at = steady::now();
    }
};

} // namespace

bool tftp_relay::start(const std::string &host, int port, int server_port, bool stall, bool lose_first_block,
                       std::string &error)
{
    stop();
    stall_ = stall;
    lose_first_block_ = lose_first_block;
    std::memset(&host_, 0, sizeof host_);
    host_.sin_family = AF_INET;
    if (inet_pton(AF_INET, host.c_str(), &host_.sin_addr) != 1) {
        error = "bad address " + host;
        return false;
    }
    server_ = host_;
    server_.sin_port = htons(static_cast<std::uint16_t>(server_port));
    sockaddr_in listen_address = host_;
    listen_address.sin_port = htons(static_cast<std::uint16_t>(port));
    listen_fd_.reset(bind_udp(listen_address));
    if (listen_fd_.get() < 0) {
        error = "UDP port " + std::to_string(port) + " is taken";
        return false;
    }
    wake_fd_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (wake_fd_.get() < 0) {
        error = std::string("eventfd: ") + std::strerror(errno);
        stop();
        return false;
    }
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void tftp_relay::stop()
{
    if (thread_.joinable()) {
        stopping_ = true;
        const std::uint64_t one = 1;
        if (write(wake_fd_.get(), &one, sizeof one) < 0) {
            // the relay notices stopping_ at its next wake-up, within a second
        }
        thread_.join();
    }
    listen_fd_.reset();
    wake_fd_.reset();
}

void tftp_relay::run()
{
    std::list<transfer> transfers;
    std::vector<std::uint8_t> buffer(65536);
    std::vector<pollfd> fds;
    std::vector<transfer *> owner; // per entry of fds: its transfer (nullptr for the first two)
    while (!stopping_) {
        fds.assign({{wake_fd_.get(), POLLIN, 0}, {listen_fd_.get(), POLLIN, 0}});
        owner.assign(2, nullptr);
        for (transfer &t : transfers) {
            fds.push_back({t.client_fd.get(), POLLIN, 0});
            fds.push_back({t.server_fd.get(), POLLIN, 0});
            owner.insert(owner.end(), {&t, &t});
        }
        if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR)
            break;
        const steady::time_point now = steady::now();

        if (fds[1].revents & POLLIN) {
            sockaddr_in from{};
            socklen_t from_length = sizeof from;
            const ssize_t length = recvfrom(listen_fd_.get(), buffer.data(), buffer.size(), 0,
                                            reinterpret_cast<sockaddr *>(&from), &from_length);
            if (length >= 2 && (field16(buffer.data(), 0) == OP_WRQ || field16(buffer.data(), 0) == OP_RRQ)) {
                const int client_side = bind_udp(host_);
                const int server_side = bind_udp(host_);
                transfer &t = transfers.emplace_back(from, client_side, server_side);
                if (client_side < 0 || server_side < 0) {
                    transfers.pop_back();
                } else {
                    t.request_packet(buffer.data(), static_cast<std::size_t>(length));
                    sendto(server_side, buffer.data(), static_cast<std::size_t>(length), 0,
                           reinterpret_cast<const sockaddr *>(&server_), sizeof server_);
                }
            }
        }

        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            transfer &t = *owner[i];
            const bool from_server = fds[i].fd == t.server_fd.get();
            sockaddr_in from{};
            socklen_t from_length = sizeof from;
            const ssize_t received = recvfrom(fds[i].fd, buffer.data(), buffer.size(), 0,
                                              reinterpret_cast<sockaddr *>(&from), &from_length);
            if (received < 0)
                continue;
            const auto length = static_cast<std::size_t>(received);
            if (from_server) {
                if (!t.server_known) {
                    t.server_tid = from;
                    t.server_known = true;
                }
                if (!same_address(from, t.server_tid))
                    continue;
            } else if (!same_address(from, t.client) || !t.server_known) {
                continue;
            }
            t.last_seen = now;
            // A lossy link: the first block the first time it is sent.
            if (lose_first_block_ && !from_server && length >= 4 && field16(buffer.data(), 0) == OP_DATA &&
                field16(buffer.data(), 2) == 1) {
                lose_first_block_ = false;
                continue;
            }
            if (!t.logged && t.note(buffer.data(), length, from_server))
                t.log(field16(buffer.data(), 0) == OP_ERROR ? "error" : "complete");
            // A stalling server: its first acknowledgement is the last the client hears.
            if (stall_ && from_server && t.acks > 1)
                continue;
            const int out = from_server ? t.client_fd.get() : t.server_fd.get();
            const sockaddr_in &to = from_server ? t.client : t.server_tid;
            sendto(out, buffer.data(), length, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
        }

        for (auto t = transfers.begin(); t != transfers.end();) {
            if (t->logged ? now - t->logged_at > LINGER : now - t->last_seen > IDLE_LIMIT) {
                if (!t->logged)
                    t->log("abandoned");
                t = transfers.erase(t);
            } else {
                ++t;
            }
        }
    }
    for (transfer &t : transfers)
        if (!t.logged)
            t.log("unfinished");
}
