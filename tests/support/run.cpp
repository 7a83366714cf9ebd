#include "run.h"

#include "files.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace {

std::vector<std::string> child_environment(const run_options &options)
{
    std::vector<std::string> env;
    for (char **entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const std::string &unset : options.unset_env)
            replaced = replaced || unset == name;
        for (const auto &[key, value] : options.env)
            replaced = replaced || key == name;
        if (!replaced)
            env.push_back(text);
    }
    for (const auto &[key, value] : options.env)
        env.push_back(key + "=" + value);
    return env;
}

std::vector<char *> pointers(std::vector<std::string> &texts)
{
    std::vector<char *> out;
    for (std::string &text : texts)
        out.push_back(text.data());
    out.push_back(nullptr);
    return out;
}

struct fd_closer {
    int fd = -1;
    ~fd_closer()
    {
        if (fd >= 0)
            close(fd);
    }
};

// Sends file descriptor `fd` (1 or 2) into a temporary file while alive.
class redirect {
public:
    explicit redirect(int fd) : fd_(fd), file_(std::tmpfile()), saved_(dup(fd))
    {
        if (!file_ || saved_ < 0)
            throw std::runtime_error("cannot capture output");
        dup2(fileno(file_), fd_);
    }
    ~redirect() { restore(); }
    std::string restore()
    {
        std::string text;
        if (saved_ < 0)
            return text;
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
        std::rewind(file_);
        char block[4096];
        std::size_t got;
        while ((got = std::fread(block, 1, sizeof block, file_)) > 0)
            text.append(block, got);
        std::fclose(file_);
        return text;
    }

private:
    int fd_;
    std::FILE *file_;
    int saved_;
};

} // namespace

run_result run_program(const std::string &program, const std::vector<std::string> &args, const run_options &options)
{
    run_result result;
    if (program.find('/') != std::string::npos && access(program.c_str(), X_OK) != 0) {
        result.err = "cannot run " + program + " (not built?)\n";
        return result;
    }
    std::unique_ptr<temp_dir> input_dir;
    std::string input_path = "/dev/null";
    if (!options.input.empty()) {
        input_dir = std::make_unique<temp_dir>();
        input_path = input_dir->file("stdin");
        write_file(input_path, options.input);
    }
    std::vector<std::string> argv_texts = {program};
    argv_texts.insert(argv_texts.end(), args.begin(), args.end());
    std::vector<std::string> env_texts = child_environment(options);
    std::vector<char *> argv = pointers(argv_texts);
    std::vector<char *> envp = pointers(env_texts);

    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0)
        return result;
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        return result;
    }
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        const int in = open(input_path.c_str(), O_RDONLY);
        if (in < 0 || dup2(in, 0) < 0 || dup2(out_pipe[1], 1) < 0 || dup2(err_pipe[1], 2) < 0)
            _exit(127);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
            _exit(127);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    fd_closer out_end{out_pipe[0]}, err_end{err_pipe[0]};
    if (child < 0)
        return result;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
    bool timed_out = false;
    pollfd ends[2] = {{out_end.fd, POLLIN, 0}, {err_end.fd, POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    while (ends[0].fd >= 0 || ends[1].fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 && !timed_out) {
            timed_out = true;
            kill(child, SIGKILL);
        }
        poll(ends, 2, timed_out ? 1000 : static_cast<int>(std::min<long long>(left.count(), 1000)));
        for (int i = 0; i < 2; ++i) {
            if (ends[i].fd < 0 || !(ends[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char block[8192];
            const ssize_t got = read(ends[i].fd, block, sizeof block);
            if (got > 0)
                sinks[i]->append(block, static_cast<std::size_t>(got));
            else if (got == 0 || errno != EINTR)
                ends[i].fd = -1;
        }
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (timed_out)
        result.status = -1;
    else if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.status = 128 + WTERMSIG(status);
    return result;
}

run_result run_cli(const std::vector<std::string> &args, const run_options &options)
{
    // MERVO_CLI_WRAPPER, words separated by blanks, runs the binary under
    // another program (valgrind, for one).
    std::vector<std::string> words;
    std::istringstream wrapper(std::getenv("MERVO_CLI_WRAPPER") ? std::getenv("MERVO_CLI_WRAPPER") : "");
    for (std::string word; wrapper >> word;)
        words.push_back(word);
    if (words.empty())
        return run_program(MERVO_CLI_PATH, args, options);
    words.push_back(MERVO_CLI_PATH);
    words.insert(words.end(), args.begin(), args.end());
    return run_program(words.front(), std::vector<std::string>(words.begin() + 1, words.end()), options);
}

captured_output capture_output(const std::function<void()> &body)
{
    std::fflush(stdout);
    std::fflush(stderr);
    redirect out(1), err(2);
    body();
    std::fflush(stdout);
    std::fflush(stderr);
    captured_output captured;
    captured.err = err.restore();
    captured.out = out.restore();
    return captured;
}

std::string capture_stdout(const std::function<void()> &body)
{
    std::fflush(stdout);
    redirect out(1);
    body();
    std::fflush(stdout);
    return out.restore();
}
