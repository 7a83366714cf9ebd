// A UDP relay between TFTP clients and the simulator's in.tftpd, so that the
// log shows every transfer as the controller saw it.
//
// The relay takes requests on the public port and hands each one to the
// server from a socket of its own; the server's transfer ID (the port its
// answers come from) is learned from its first answer. Towards the client the
// relay answers from a second socket of its own, so each side sees one
// transfer ID per transfer, as it would with the server alone. Every request
// packet is one transfer, a repeated request too (the server starts a new one
// for it).
//
// When a transfer ends the relay writes one log line:
//   {"event":"tftp_transfer","client":"ADDR:PORT","request":"WRQ",
//    "file":"flashraw.bin","mode":"octet",
//    "request_options":"tsize=N blksize=1468 timeout=1",
//    "reply":"OACK","reply_options":"tsize=N blksize=1468 timeout=1",
//    "blksize":1468,"data_packets":N,"data_bytes":N,
//    "data_sizes":"1468*N 1010*1","data_resent":0,"acks":N,"acks_resent":0,
//    "requests_resent":0,"result":"complete","duration_ms":N}
// "reply" is OACK, ACK (a plain acknowledgement: the server took none of the
// options, blksize is 512), DATA (a read answered without options), ERROR or
// none. data_packets, data_bytes and data_sizes count each block once, in
// order, as run lengths SIZE*COUNT; data_resent counts DATA packets that
// repeat the block before, acks_resent ACKs that repeat the one before.
// "result" is complete (the last, short block was acknowledged; the line is
// written before that ACK is passed on), error (with error_code,
// error_message and error_from: client or server; written before the error
// packet is passed on), abandoned (nothing for 70 s) or unfinished (still
// running when the simulator stopped). Packets of a transfer after its line
// are passed on and not counted.
#pragma once

#include "unique_fd.h"

#include <netinet/in.h>

#include <atomic>
#include <string>
#include <thread>

class tftp_relay {
public:
    tftp_relay() = default;
    tftp_relay(const tftp_relay &) = delete;
    tftp_relay &operator=(const tftp_relay &) = delete;
    ~tftp_relay() { stop(); }

    // Listens on host:port and relays to the server listening on
    // host:server_port. With `stall`, a transfer's packets from the server
    // stop reaching the client after the first acknowledgement (they are
    // still logged). With `lose_first_block`, the first DATA packet of block
    // 1 that a client sends is not passed on (nor counted), as if a lossy
    // link had dropped it: the server then repeats its acknowledgement. False
    // with `error` set when the port cannot be had.
    bool start(const std::string &host, int port, int server_port, bool stall, bool lose_first_block,
               std::string &error);
    // Logs the transfers still running as unfinished and ends the relay.
    void stop();

private:
    void run();

    unique_fd listen_fd_;
    unique_fd wake_fd_; // written to by stop()
    sockaddr_in server_{};
    sockaddr_in host_{};
    bool stall_ = false;
    bool lose_first_block_ = false;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
