#include "base/system.h"
#include "cli/frontend.h"

#include <string>
#include <vector>

int main(int argc, char **argv)
{
    // Every line goes out as it ends, so that a log taken through a pipe keeps
    // the order of both streams and keeps what came before an interruption.
    console_start();
    // The words as UTF-8 (on Windows the system's wide command line, so that
    // any folder name arrives whole).
    std::vector<std::string> words = command_line(argc, argv);
    std::vector<char *> pointers;
    for (std::string &word : words)
        pointers.push_back(word.data());
    pointers.push_back(nullptr);
    cli_result result = cli_run(static_cast<int>(words.size()), pointers.data());
    if (result.wait_before_exit)
        pause_ms(CLI_EXIT_WAIT_MS);
    return result.status;
}
