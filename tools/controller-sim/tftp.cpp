#include "tftp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <vector>

namespace {

bool make_address(const std::string &host, int port, sockaddr_in &address)
{
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1;
}

// A bound UDP socket, or -1.
int bind_udp(const std::string &host, int port)
{
    sockaddr_in address;
    if (!make_address(host, port, address))
        return -1;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends a read request for a file that does not exist and waits briefly for
// any answer: a running server replies with an error packet.
bool tftp_answers(const std::string &host, int port)
{
    sockaddr_in address;
    if (!make_address(host, port, address))
        return false;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    static const char request[] = "\0\1mervo-sim-probe\0octet";
    bool answered = false;
    if (sendto(fd, request, sizeof request, 0, reinterpret_cast<const sockaddr *>(&address), sizeof address) ==
        static_cast<ssize_t>(sizeof request)) {
        pollfd wait{fd, POLLIN, 0};
        if (poll(&wait, 1, 200) == 1) {
            char reply[516];
            answered = recv(fd, reply, sizeof reply, 0) >= 4;
        }
    }
    close(fd);
    return answered;
}

// A UDP port on `host` that nobody holds right now, or -1.
int free_udp_port(const std::string &host)
{
    const int fd = bind_udp(host, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    const int port = getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0 ? ntohs(address.sin_port) : -1;
    close(fd);
    return port;
}

} // namespace

bool udp_port_free(const std::string &host, int port)
{
    const int fd = bind_udp(host, port);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

bool tftp_server::start(const std::string &program, tftp_mode mode, tftp_options options, const std::string &host,
                        int port, const std::string &dir, std::string &error)
{
    stop();
    if (mode == tftp_mode::off) {
        held_socket_ = bind_udp(host, port);
        if (held_socket_ < 0)
            error = "UDP port " + std::to_string(port) + " is taken";
        return held_socket_ >= 0;
    }
    // The server listens on a port of its own; the relay takes the public one.
    const int server_port = free_udp_port(host);
    if (server_port < 0) {
        error = "no free UDP port on " + host;
        return false;
    }
    std::vector<std::string> args = {program, "--foreground", "--address", host + ":" + std::to_string(server_port),
                                     "--secure", "--permissive", "--user", "root"};
    if (mode == tftp_mode::on || mode == tftp_mode::lose_first || mode == tftp_mode::stall)
        args.push_back("--create");
    if (options == tftp_options::ignore)
        args.insert(args.end(), {"--refuse", "blksize", "--refuse", "timeout", "--refuse", "tsize"});
    args.push_back(dir);
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (child == 0) {
        // The server must not outlive the simulator, whatever ends it.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        const int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        dup2(2, 1); // standard output is the simulator's log
        close_range(3, ~0U, 0);
        execv(argv[0], argv.data());
        _exit(127);
    }
    pid_ = child;
    for (int attempt = 0; attempt < 50; ++attempt) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error = program + " ended at start (exit status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")";
            return false;
        }
        if (tftp_answers(host, server_port)) {
            if (relay_.start(host, port, server_port, mode == tftp_mode::stall, mode == tftp_mode::lose_first, error))
                return true;
            stop();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    error = program + " does not answer on UDP port " + std::to_string(port);
    stop();
    return false;
}

void tftp_server::stop()
{
    relay_.stop();
    if (held_socket_ >= 0) {
        close(held_socket_);
        held_socket_ = -1;
    }
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
}
