#include "cli/frontend.h"

#include <chrono>
#include <cstdio>
#include <thread>

int main(int argc, char **argv)
{
    // Every line goes out as it ends, so that a log taken through a pipe keeps
    // the order of both streams and keeps what came before an interruption.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    cli_result result = cli_run(argc, argv);
    if (result.wait_before_exit)
        std::this_thread::sleep_for(std::chrono::milliseconds(CLI_EXIT_WAIT_MS));
    return result.status;
}
