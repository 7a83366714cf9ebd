// The controller's TFTP side: a real TFTP server (in.tftpd) that the
// simulator starts as its child on the same port number as its web server,
// writing uploads into the simulator's TFTP directory.
#pragma once

#include <sys/types.h>

#include <string>

enum class tftp_mode {
    on,     // uploads of flashraw.bin are accepted
    refuse, // the server runs but refuses to create files: every upload fails at once
    off,    // nobody answers on the port (it is held, so no one else takes it)
};

class tftp_server {
public:
    tftp_server() = default;
    tftp_server(const tftp_server &) = delete;
    tftp_server &operator=(const tftp_server &) = delete;
    ~tftp_server() { stop(); }

    // Starts serving `dir` on host:port in the given mode and waits until the
    // server answers. False with `error` set when it did not come up.
    bool start(const std::string &program, tftp_mode mode, const std::string &host, int port, const std::string &dir,
               std::string &error);
    void stop();

private:
    pid_t pid_ = -1;
    int held_socket_ = -1;
};

// True when a UDP socket can be bound to host:port right now.
bool udp_port_free(const std::string &host, int port);
