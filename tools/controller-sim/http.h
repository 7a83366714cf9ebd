// The controller's web interface under /api/v100/: the status document, the
// configuration archives, and the restore and upgrade requests, each of which
// can be told to misbehave.
#pragma once

#include "store.h"

#include <atomic>
#include <ctime>
#include <map>
#include <mutex>
#include <string>

namespace httplib {
class Server;
}

struct sim_identity {
    std::string model_name = "VESTRA-4";
    std::string firmware_version = "1.3.0";
    std::string serial_number = "V4-2106-000482";
    std::string mac = "00:1e:c0:4a:12:7f";
    std::string hostname = "vestra-4";
    std::string ip = "127.0.0.1";
};

// How one endpoint answers. The error pages, empty, garbage, body, loop and
// refuse replace the answer (nothing is applied); truncated, drop, slow and
// stall spoil or delay the normal answer after it was made (a restore or
// upgrade still takes effect); keep answers normally and applies nothing.
enum class fault_kind {
    none,
    http_400,  // 400 with an HTML page
    http_404,  // 404 with an HTML page
    http_500,  // 500 with an HTML page
    empty,     // 200 with an empty body
    garbage,   // 200 with 4096 bytes of noise
    body,      // 200 with the bytes of a file
    truncated, // the normal answer cut to half its length, sent as complete
    drop,      // the normal headers, half the body, then the connection is closed
    slow,      // the normal answer after a delay
    redirect,  // 302 to the same URL with "redirected=1" added, which is answered normally
    loop,      // 302 to the same URL, every time
    stall,     // the connection is taken, but no byte of an answer ever comes
    cut,       // a backup archive with status.txt first, cut after `cut_bytes` bytes, sent as complete
    trickle,   // the normal answer, one byte of its body every `delay_ms` milliseconds
    elsewhere, // 302 to the URL in `file`, which may name another scheme
    refuse,    // upgrade only: the controller's own refusal (400 with its JSON result "error")
    keep,      // upgrade only: the upgrade is answered as done, but the controller keeps its firmware
};

struct fault {
    fault_kind kind = fault_kind::none;
    int delay_ms = 3000; // slow, trickle (500 unless given)
    std::size_t cut_bytes = 3000; // cut
    std::string file;    // body; the redirect target of elsewhere
    std::string mode_text = "none";
};

// Endpoint names a fault is set for: "status", "backup" (every configuration),
// "backup:NAME" (one configuration, before "backup"), "restore", "upgrade".
using fault_table = std::map<std::string, fault>;

// Reads "TARGET=MODE" (MODE: 400, 404, 500, empty, garbage, body:FILE, truncated,
// drop, slow, slow:MS, redirect, redirect:URL, loop, stall, cut, cut:BYTES,
// trickle, trickle:MS, refuse, keep or none) into the table. False with `error`
// set when invalid.
bool parse_fault(const std::string &setting, fault_table &faults, std::string &error);

struct sim_context {
    // Read by the web server's threads; an upgrade changes its firmware
    // version (under the lock).
    sim_identity identity;
    mutable std::mutex identity_mutex;
    config_store *store = nullptr;
    std::string tftp_dir;
    fault_table faults;
    std::time_t started = 0;
    // Set when the simulator stops: stalled answers give up then.
    std::atomic<bool> stopping{false};
};

// The "status.txt" document packed into every configuration archive.
std::string status_txt(const sim_identity &identity);

// Installs the handlers; `context` must outlive the server.
void setup_routes(httplib::Server &server, sim_context &context);
