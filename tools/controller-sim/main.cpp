// mervo-controller-sim: a simulated VESTRA-4 controller on this machine, with
// a real web server and a real TFTP server, for tests, demonstrations and
// technicians who rehearse offline.
#include "http.h"
#include "sim_log.h"
#include "store.h"
#include "tftp.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

namespace {

const char USAGE[] =
    "Usage: mervo-controller-sim [OPTION]...\n"
    "A simulated VESTRA-4 controller: its web interface (/api/v100/status.ssi,\n"
    "/api/v100/backup.ssi) on TCP and a TFTP server (in.tftpd) taking flashraw.bin\n"
    "on UDP, both on the same port of the same address. Run mervo-cli against it\n"
    "with --ip HOST:PORT. Every request and every change is logged as one JSON line\n"
    "on standard output; the first line is {\"event\":\"listening\",...} with the port.\n"
    "Stops on SIGINT or SIGTERM.\n"
    "\n"
    "  --port N          TCP and UDP port; 0 (default) picks one that is free for both\n"
    "  --host ADDR       IPv4 address to listen on (default 127.0.0.1)\n"
    "  --state DIR       state directory: NAME.bin files there are the configurations\n"
    "                    at start (configuration NAME, its file's bytes); every stored\n"
    "                    configuration is written back as NAME.bin and as NAME.tar (the\n"
    "                    archive a backup of it returns)\n"
    "  --no-defaults     hold only the configurations found in the state directory\n"
    "                    (default: the missing standard ones get their factory content)\n"
    "  --tftp-dir DIR    where uploads land (default STATE/tftp, else a temporary\n"
    "                    directory removed at exit); the last flashraw.bin stays there\n"
    "  --tftp MODE       on (default): uploads accepted; refuse: the TFTP server runs\n"
    "                    but refuses every upload; off: nobody answers on UDP; stall:\n"
    "                    an upload starts, then after the first acknowledgement\n"
    "                    nothing more of the server's reaches the client;\n"
    "                    lose-first: uploads accepted, but block 1 of the first\n"
    "                    one is lost on its way once (the server then repeats its\n"
    "                    acknowledgement of the request after a second)\n"
    "  --tftp-options M  honour (default): the TFTP server negotiates the options of a\n"
    "                    request (blksize, timeout, tsize); ignore: it refuses them\n"
    "                    all and answers with a plain ACK, so uploads go in 512-byte\n"
    "                    blocks\n"
    "  --tftpd PATH      the TFTP server program (default /usr/sbin/in.tftpd); see below\n"
    "  --model NAME      model name reported (default VESTRA-4)\n"
    "  --firmware VER    firmware version reported (default 1.3.0); after an upgrade\n"
    "                    the version string of the image's information block\n"
    "  --serial TEXT     serial number reported\n"
    "  --mac TEXT        MAC address reported\n"
    "  --fault T=MODE    make endpoint T misbehave (repeatable). T: status, backup,\n"
    "                    backup:NAME, restore, upgrade. MODE: 400, 404 or 500 (HTML\n"
    "                    error page), empty (200, no body), garbage (200, 4096 noise\n"
    "                    bytes), body:FILE (200, the file's bytes), truncated (half\n"
    "                    the answer, sent as complete), drop (connection closed\n"
    "                    halfway through the body), slow or slow:MS (answer after MS\n"
    "                    milliseconds, default 3000), redirect (302 to the same URL\n"
    "                    plus redirected=1, which is answered normally), loop (302 to\n"
    "                    the same URL, every time), stall (the connection is taken\n"
    "                    but no byte of an answer ever comes), cut or cut:BYTES\n"
    "                    (backup only: status.txt first, then the configuration, the\n"
    "                    archive cut after BYTES, default 3000, and sent as complete),\n"
    "                    trickle or trickle:MS (the answer, one byte every MS\n"
    "                    milliseconds, default 500), redirect:URL (302 to URL, any\n"
    "                    scheme), refuse (upgrade only: the controller's own\n"
    "                    refusal, 400 with {\"result\":\"error\"}), keep (upgrade\n"
    "                    only: answered as done, but the controller keeps its\n"
    "                    firmware version), none. The error pages, empty, garbage,\n"
    "                    body, loop, redirect:URL and refuse replace the answer, so\n"
    "                    a restore or upgrade is not applied; truncated, drop, slow,\n"
    "                    stall and trickle spoil the answer after it took effect.\n"
    "  --http MODE       on (default): the web interface answers; hang: the port is\n"
    "                    open but takes no connection (its queue is full), so clients\n"
    "                    wait as for an address that drops every packet\n"
    "  --help            show this text\n"
    "\n"
    "Without --state it serves factory content: firmware 1.3.0 and the configurations\n"
    "systemconfig, dali1-4, cd1-4, schedules and rlc.\n"
    "\n"
    "TFTP server: the in.tftpd of tftpd-hpa (default /usr/sbin/in.tftpd), started as\n"
    "  in.tftpd --foreground --address HOST:PORT --secure --permissive --user root\n"
    "           [--create] DIR\n"
    "so the simulator runs as root unless --tftp off. --tftpd PATH picks another\n"
    "program taking these options (a tftpd-hpa elsewhere, a wrapper script);\n"
    "atftpd's in.tftpd takes other options and does not work.\n"
    "\n"
    "TFTP packets pass a relay in the simulator on their way to in.tftpd, which\n"
    "listens on a port of its own. Each transfer is logged when it ends as one\n"
    "{\"event\":\"tftp_transfer\",...} line: client, request (WRQ/RRQ), file, mode,\n"
    "request_options (\"blksize=1468 timeout=1 ...\"), the server's reply (OACK, ACK\n"
    "for a plain ACK, DATA, ERROR or none) and reply_options, the blksize in effect,\n"
    "data_packets, data_bytes and data_sizes (each block once, as SIZE*COUNT runs),\n"
    "data_resent and acks_resent (retransmissions seen), result (complete, error,\n"
    "abandoned after 70 s of silence, unfinished at exit), error_code,\n"
    "error_message and error_from after an error, and duration_ms. The line of a\n"
    "complete or failed transfer is written before its last packet is passed on.\n";

struct sim_options {
    int port = 0;
    std::string host = "127.0.0.1";
    std::string state_dir;
    bool defaults = true;
    std::string tftp_dir;
    tftp_mode tftp = tftp_mode::on;
    bool http_hang = false;
    tftp_options tftp_option_mode = tftp_options::honour;
    std::string tftpd = "/usr/sbin/in.tftpd";
    sim_identity identity;
    fault_table faults;
};

// 0 to go on, otherwise the exit status (after --help, or a usage error).
int parse_options(int argc, char **argv, sim_options &options)
{
    enum { PORT = 1, HOST, STATE, NO_DEFAULTS, TFTP_DIR, TFTP, TFTP_OPTIONS, TFTPD, MODEL, FIRMWARE, SERIAL, MAC, FAULT, HTTP,
           HELP };
    static const option LONG_OPTIONS[] = {
        {"port", required_argument, nullptr, PORT},       {"host", required_argument, nullptr, HOST},
        {"state", required_argument, nullptr, STATE},     {"no-defaults", no_argument, nullptr, NO_DEFAULTS},
        {"tftp-dir", required_argument, nullptr, TFTP_DIR}, {"tftp", required_argument, nullptr, TFTP},
        {"tftp-options", required_argument, nullptr, TFTP_OPTIONS},
        {"tftpd", required_argument, nullptr, TFTPD},     {"model", required_argument, nullptr, MODEL},
        {"firmware", required_argument, nullptr, FIRMWARE}, {"serial", required_argument, nullptr, SERIAL},
        {"mac", required_argument, nullptr, MAC},         {"fault", required_argument, nullptr, FAULT},
        {"http", required_argument, nullptr, HTTP},       {"help", no_argument, nullptr, HELP},
        {nullptr, 0, nullptr, 0},
    };
    for (;;) {
        const int option = getopt_long(argc, argv, "", LONG_OPTIONS, nullptr);
        if (option == -1)
            break;
        const std::string value = optarg ? optarg : "";
        std::string error;
        switch (option) {
        case PORT: {
            char *end = nullptr;
            const long port = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || port < 0 || port > 65535)
                error = "bad port '" + value + "'";
            options.port = static_cast<int>(port);
            break;
        }
        case HOST: options.host = value; break;
        case STATE: options.state_dir = value; break;
        case NO_DEFAULTS: options.defaults = false; break;
        case TFTP_DIR: options.tftp_dir = value; break;
        case TFTP:
            if (value == "on") options.tftp = tftp_mode::on;
            else if (value == "refuse") options.tftp = tftp_mode::refuse;
            else if (value == "off") options.tftp = tftp_mode::off;
            else if (value == "stall") options.tftp = tftp_mode::stall;
            else if (value == "lose-first") options.tftp = tftp_mode::lose_first;
            else error = "bad TFTP mode '" + value + "' (on, refuse, off, stall, lose-first)";
            break;
        case TFTP_OPTIONS:
            if (value == "honour") options.tftp_option_mode = tftp_options::honour;
            else if (value == "ignore") options.tftp_option_mode = tftp_options::ignore;
            else error = "bad TFTP options mode '" + value + "' (honour, ignore)";
            break;
        case TFTPD: options.tftpd = value; break;
        case MODEL: options.identity.model_name = value; break;
        case FIRMWARE: options.identity.firmware_version = value; break;
        case SERIAL: options.identity.serial_number = value; break;
        case MAC: options.identity.mac = value; break;
        case FAULT: parse_fault(value, options.faults, error); break;
        case HTTP:
            if (value == "on") options.http_hang = false;
            else if (value == "hang") options.http_hang = true;
            else error = "bad HTTP mode '" + value + "' (on, hang)";
            break;
        case HELP: std::fputs(USAGE, stdout); return -1;
        default: std::fputs("Try 'mervo-controller-sim --help'.\n", stderr); return 2;
        }
        if (!error.empty()) {
            std::fprintf(stderr, "mervo-controller-sim: %s\n", error.c_str());
            return 2;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "mervo-controller-sim: unexpected argument '%s'\n", argv[optind]);
        return 2;
    }
    return 0;
}

int fail(const std::string &message)
{
    std::fprintf(stderr, "mervo-controller-sim: %s\n", message.c_str());
    return 1;
}

// A TCP port that is open but takes no connection: its queue holds one
// connection of our own, so further connection attempts are dropped and time
// out, as at an address that drops every packet.
class hung_port {
public:
    hung_port() = default;
    hung_port(const hung_port &) = delete;
    hung_port &operator=(const hung_port &) = delete;
    ~hung_port() { close_all(); }

    // The port (the given one, or one the system picks for 0), or -1.
    int open(const std::string &host, int port)
    {
        close_all();
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
            return -1;
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        socklen_t length = sizeof address;
        if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            listen(listener_, 0) != 0 || getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            return close_all();
        filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (filler_ < 0 || connect(filler_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            return close_all();
        return ntohs(address.sin_port);
    }

private:
    int close_all()
    {
        for (int *fd : {&filler_, &listener_})
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
        return -1;
    }
    int listener_ = -1;
    int filler_ = -1;
};

const char *mode_name(tftp_mode mode)
{
    switch (mode) {
    case tftp_mode::on: return "on";
    case tftp_mode::refuse: return "refuse";
    case tftp_mode::stall: return "stall";
    case tftp_mode::lose_first: return "lose-first";
    case tftp_mode::off: break;
    }
    return "off";
}

} // namespace

int main(int argc, char **argv)
{
    sim_options options;
    const int parsed = parse_options(argc, argv, options);
    if (parsed != 0)
        return parsed < 0 ? 0 : parsed;

    // Signals are taken by one thread with sigwait; every other thread,
    // httplib's workers included, inherits this mask.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    namespace fs = std::filesystem;
    std::error_code ec;
    bool temporary_tftp_dir = false;
    if (options.tftp_dir.empty() && !options.state_dir.empty())
        options.tftp_dir = options.state_dir + "/tftp";
    if (options.tftp_dir.empty()) {
        std::string pattern = (fs::temp_directory_path(ec) / "mervo-sim-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            return fail("cannot create a temporary TFTP directory");
        options.tftp_dir = pattern;
        temporary_tftp_dir = true;
    }
    fs::create_directories(options.tftp_dir, ec);
    options.tftp_dir = fs::absolute(options.tftp_dir, ec).string();
    if (options.tftp == tftp_mode::refuse)
        fs::remove(options.tftp_dir + "/flashraw.bin", ec); // a new file is refused; an old one would be overwritten

    sim_context context;
    options.identity.ip = options.host;
    context.identity = options.identity;
    context.tftp_dir = options.tftp_dir;
    context.faults = options.faults;
    context.started = std::time(nullptr);
    config_store store(status_txt(context.identity));
    context.store = &store;
    std::string error;
    if (!store.open(options.state_dir, options.defaults, error))
        return fail(error);

    std::unique_ptr<httplib::Server> server;
    hung_port hung;
    tftp_server tftp;
    int port = -1;
    for (int attempt = 0; attempt < 20 && port < 0; ++attempt) {
        if (options.http_hang) {
            port = hung.open(options.host, options.port);
        } else {
            server = std::make_unique<httplib::Server>();
            setup_routes(*server, context);
            if (options.port != 0)
                port = server->bind_to_port(options.host.c_str(), options.port) ? options.port : -1;
            else
                port = server->bind_to_any_port(options.host.c_str());
        }
        if (port < 0)
            error = "cannot listen on " + options.host + ":" + std::to_string(options.port);
        else if (options.tftp != tftp_mode::off && !udp_port_free(options.host, port))
            error = "UDP port " + std::to_string(port) + " is taken";
        else if (!tftp.start(options.tftpd, options.tftp, options.tftp_option_mode, options.host, port, options.tftp_dir, error))
            ;
        else
            break;
        port = -1;
        if (options.port != 0)
            break;
    }
    if (port < 0)
        return fail(error);

    const std::string address = options.host + ":" + std::to_string(port);
    log_line("listening")
        .text("address", address)
        .number("port", port)
        .text("http", options.http_hang ? "hang" : "on")
        .text("tftp", mode_name(options.tftp))
        .text("tftp_dir", options.tftp_dir)
        .text("state_dir", options.state_dir)
        .text("model_name", context.identity.model_name)
        .text("firmware_version", context.identity.firmware_version)
        .emit();

    std::thread stopper([&] {
        int signal_number = 0;
        sigwait(&stop_signals, &signal_number);
        context.stopping = true;
        if (server)
            server->stop();
    });
    bool served = true;
    if (server) {
        served = server->listen_after_bind();
        if (!served)
            kill(getpid(), SIGTERM); // wakes the stopper if the server ended by itself
    }
    stopper.join();
    tftp.stop();
    if (temporary_tftp_dir)
        fs::remove_all(options.tftp_dir, ec);
    log_line("stopped").emit();
    return served ? 0 : 1;
}
