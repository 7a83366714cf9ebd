#include "sim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

const char *const LOG_FILE = "sim.log";
const char *const ERROR_FILE = "sim.err";

void skip_blanks(const std::string &text, std::size_t &at)
{
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
        ++at;
}

// A JSON string starting at text[at] (the opening quote); false when malformed.
bool read_string(const std::string &text, std::size_t &at, std::string &out)
{
    if (at >= text.size() || text[at] != '"')
        return false;
    for (++at; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '"') {
            ++at;
            return true;
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++at >= text.size())
            return false;
        switch (text[at]) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
            if (at + 4 >= text.size())
                return false;
            const unsigned long code = std::stoul(text.substr(at + 1, 4), nullptr, 16);
            out += static_cast<char>(code & 0xFF); // the simulator escapes single bytes only
            at += 4;
            break;
        }
        default: out += text[at]; break;
        }
    }
    return false;
}

} // namespace

std::string sim_event::get(const std::string &key) const
{
    const auto found = fields.find(key);
    return found == fields.end() ? std::string() : found->second;
}

std::optional<sim_event> parse_sim_event(const std::string &line)
{
    sim_event event;
    event.raw = line;
    std::size_t at = 0;
    skip_blanks(line, at);
    if (at >= line.size() || line[at++] != '{')
        return std::nullopt;
    for (;;) {
        skip_blanks(line, at);
        if (at < line.size() && line[at] == '}')
            return event;
        std::string key, value;
        if (!read_string(line, at, key))
            return std::nullopt;
        skip_blanks(line, at);
        if (at >= line.size() || line[at++] != ':')
            return std::nullopt;
        skip_blanks(line, at);
        if (at < line.size() && line[at] == '"') {
            if (!read_string(line, at, value))
                return std::nullopt;
        } else {
            const std::size_t end = line.find_first_of(",}", at);
            if (end == std::string::npos)
                return std::nullopt;
            value = line.substr(at, end - at);
            while (!value.empty() && value.back() == ' ')
                value.pop_back();
            at = end;
        }
        event.fields[key] = value;
        skip_blanks(line, at);
        if (at < line.size() && line[at] == ',')
            ++at;
        else if (at >= line.size() || line[at] != '}')
            return std::nullopt;
    }
}

controller_sim::controller_sim(const sim_options &options)
{
    state_dir_ = options.state_dir.empty() ? work_.file("state") : options.state_dir;
    std::vector<std::string> args = {MERVO_SIM_PATH, "--port", "0", "--state", state_dir_, "--tftp", options.tftp};
    if (!options.firmware_version.empty())
        args.insert(args.end(), {"--firmware", options.firmware_version});
    if (!options.model_name.empty())
        args.insert(args.end(), {"--model", options.model_name});
    if (!options.defaults)
        args.push_back("--no-defaults");
    for (const std::string &fault : options.faults)
        args.insert(args.end(), {"--fault", fault});
    args.insert(args.end(), options.extra_args.begin(), options.extra_args.end());
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const std::string log_path = work_.file(LOG_FILE);
    const std::string error_path = work_.file(ERROR_FILE);

    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("cannot start the simulator");
    if (pid_ == 0) {
        // The simulator (and through it its TFTP server) ends with the test.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(error_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }

    // The first log line names the port once both servers are up.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string log = read_text(log_path).value_or("");
        const std::size_t end = log.find('\n');
        if (end != std::string::npos) {
            const std::optional<sim_event> first = parse_sim_event(log.substr(0, end));
            if (!first || first->get("event") != "listening")
                break;
            address_ = first->get("address");
            port_ = std::stoi(first->get("port"));
            tftp_dir_ = first->get("tftp_dir");
            return;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop();
    throw std::runtime_error("mervo-controller-sim did not start: " + read_text(error_path).value_or("") +
                             read_text(log_path).value_or(""));
}

controller_sim::~controller_sim() { stop(); }

int controller_sim::stop()
{
    if (pid_ <= 0)
        return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 250 && !ended; ++i) {
        ended = waitpid(pid_, &status, WNOHANG) == pid_;
        if (!ended)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!ended) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return exit_status_;
}

std::string controller_sim::error_output() const { return read_text(work_.file(ERROR_FILE)).value_or(""); }

std::vector<std::string> controller_sim::log_lines() const
{
    std::vector<std::string> lines;
    std::istringstream log(read_text(work_.file(LOG_FILE)).value_or(""));
    std::string line;
    while (std::getline(log, line))
        if (!log.eof()) // a last line without its line end is still being written
            lines.push_back(line);
    return lines;
}

std::vector<sim_event> controller_sim::events() const
{
    std::vector<sim_event> out;
    for (const std::string &line : log_lines())
        if (std::optional<sim_event> event = parse_sim_event(line))
            out.push_back(std::move(*event));
    return out;
}

std::vector<sim_event> controller_sim::events(const std::string &event) const
{
    std::vector<sim_event> out;
    for (sim_event &e : events())
        if (e.get("event") == event)
            out.push_back(std::move(e));
    return out;
}

std::vector<sim_event> controller_sim::requests(const std::string &path, const std::string &query_part) const
{
    std::vector<sim_event> out;
    for (sim_event &e : events("request"))
        if (e.get("path") == path && e.get("query").find(query_part) != std::string::npos)
            out.push_back(std::move(e));
    return out;
}

std::optional<std::vector<std::uint8_t>> controller_sim::stored(const std::string &name) const
{
    return read_file(state_dir_ + "/" + name + ".bin");
}

std::optional<std::vector<std::uint8_t>> controller_sim::stored_archive(const std::string &name) const
{
    return read_file(state_dir_ + "/" + name + ".tar");
}

std::optional<std::vector<std::uint8_t>> controller_sim::flashraw() const
{
    return read_file(tftp_dir_ + "/flashraw.bin");
}

refusing_port::refusing_port()
{
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        if (fd_ >= 0)
            close(fd_);
        throw std::runtime_error("cannot reserve a loopback port");
    }
    port_ = ntohs(address.sin_port);
}

refusing_port::~refusing_port()
{
    if (fd_ >= 0)
        close(fd_);
}
