// The controller's TFTP side: a real TFTP server (in.tftpd) that the
// simulator starts as its child, writing uploads into the simulator's TFTP
// directory. Clients reach it through the relay (tftp_relay.h), which listens
// on the same port number as the web server and logs every transfer.
#pragma once

#include "tftp_relay.h"

#include <sys/types.h>

#include <string>

enum class tftp_mode {
    on,     // uploads of flashraw.bin are accepted
    refuse, // the server runs but refuses to create files: every upload fails at once
    off,    // nobody answers on the port (it is held, so no one else takes it)
    lose_first, // uploads accepted, but the first block of the first one is lost on its way once
    stall,  // an upload starts (the request and the first block are acknowledged),
            // then nothing more from the server reaches the client
};

// What the server makes of the options of a request (RFC 2347 to 2349).
enum class tftp_options {
    honour, // blksize, timeout and tsize are negotiated (OACK)
    ignore, // all three are refused: a write request gets a plain ACK, blocks are 512 bytes
};

class tftp_server {
public:
    tftp_server() = default;
    tftp_server(const tftp_server &) = delete;
    tftp_server &operator=(const tftp_server &) = delete;
    ~tftp_server() { stop(); }

    // Starts serving `dir` on host:port in the given mode and waits until the
    // server answers. False with `error` set when it did not come up.
    bool start(const std::string &program, tftp_mode mode, tftp_options options, const std::string &host, int port,
               const std::string &dir, std::string &error);
    void stop();

private:
    pid_t pid_ = -1;
    int held_socket_ = -1;
    tftp_relay relay_;
};

// True when a UDP socket can be bound to host:port right now.
bool udp_port_free(const std::string &host, int port);
