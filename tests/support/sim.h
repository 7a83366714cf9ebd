// A simulated controller for end-to-end tests: starts mervo-controller-sim
// (MERVO_SIM_PATH) with its TFTP server on a free loopback port and stops it
// when the object goes. Run mervo-cli against it with --ip sim.address().
#pragma once

#include "files.h"

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sim_options {
    std::string firmware_version;         // empty: the simulator's default, "1.3.0"
    std::string model_name;               // empty: "VESTRA-4"
    std::string state_dir;                // empty: a fresh temporary directory
    bool defaults = true;                 // false: only the configurations in state_dir (--no-defaults)
    std::string tftp = "on";              // "on", "refuse" (every upload refused) or "off" (no TFTP server)
    std::vector<std::string> faults;      // "TARGET=MODE" each, see mervo-controller-sim --help
    std::vector<std::string> extra_args;  // any other simulator options

    // Chainable setters: controller_sim sim(sim_options().firmware("1.5.0").fault("backup=404"));
    sim_options &firmware(std::string version) { firmware_version = std::move(version); return *this; }
    sim_options &model(std::string name) { model_name = std::move(name); return *this; }
    sim_options &state(std::string dir) { state_dir = std::move(dir); return *this; }
    sim_options &no_defaults() { defaults = false; return *this; }
    sim_options &tftp_mode(std::string mode) { tftp = std::move(mode); return *this; }
    sim_options &fault(std::string setting) { faults.push_back(std::move(setting)); return *this; }
    sim_options &arg(std::string option) { extra_args.push_back(std::move(option)); return *this; }
};

// One line of the simulator's log, a flat JSON object. Values are kept as
// text: strings unescaped, numbers and true/false as written.
struct sim_event {
    std::string raw;
    std::map<std::string, std::string> fields;

    bool has(const std::string &key) const { return fields.count(key) != 0; }
    // The value, or "" when the member is absent.
    std::string get(const std::string &key) const;
};

// Parses one log line; nothing when it is not a flat JSON object.
std::optional<sim_event> parse_sim_event(const std::string &line);

class controller_sim {
public:
    // Throws std::runtime_error (with the simulator's error output) when it does not come up.
    explicit controller_sim(const sim_options &options = {});
    ~controller_sim();
    controller_sim(const controller_sim &) = delete;
    controller_sim &operator=(const controller_sim &) = delete;

    const std::string &address() const { return address_; } // "127.0.0.1:PORT", for --ip
    std::string base() const { return "http://" + address_; }
    int port() const { return port_; }
    const std::string &tftp_dir() const { return tftp_dir_; }
    const std::string &state_dir() const { return state_dir_; }

    // The log so far: every line, or the parsed events (of one kind).
    // Each request is logged before it is answered, so after a client has its
    // answer its request is in the log.
    std::vector<std::string> log_lines() const;
    std::vector<sim_event> events() const;
    std::vector<sim_event> events(const std::string &event) const;
    // The "request" events whose query contains `query_part` (all when empty).
    std::vector<sim_event> requests(const std::string &path, const std::string &query_part = "") const;

    // What the simulator holds for a configuration now: its file (NAME.bin),
    // or the archive a backup of it returns (NAME.tar).
    std::optional<std::vector<std::uint8_t>> stored(const std::string &name) const;
    std::optional<std::vector<std::uint8_t>> stored_archive(const std::string &name) const;
    // The last upload (flashraw.bin in the TFTP directory).
    std::optional<std::vector<std::uint8_t>> flashraw() const;

    // What the simulator wrote on standard error (its diagnoses, and the
    // sanitizers' reports in an instrumented build).
    std::string error_output() const;

    // Ends the simulator now (the destructor does it otherwise) and returns
    // its exit status (0 after a clean stop; -1 when it had already been
    // stopped). The accessors above keep working on what it left.
    int stop();

private:
    temp_dir work_;
    pid_t pid_ = -1;
    int exit_status_ = -1;
    std::string address_;
    int port_ = 0;
    std::string tftp_dir_;
    std::string state_dir_;
};

// A loopback TCP port that refuses every connection while the object lives
// (a socket bound to it that never listens): an HTTP controller that is down.
class refusing_port {
public:
    refusing_port();
    ~refusing_port();
    refusing_port(const refusing_port &) = delete;
    refusing_port &operator=(const refusing_port &) = delete;

    int port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    int fd_ = -1;
    int port_ = 0;
};
