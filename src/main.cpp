#include "cli/frontend.h"

#include <chrono>
#include <thread>

int main(int argc, char **argv)
{
    cli_result result = cli_run(argc, argv);
    if (result.wait_before_exit)
        std::this_thread::sleep_for(std::chrono::milliseconds(CLI_EXIT_WAIT_MS));
    return result.status;
}
