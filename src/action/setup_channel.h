// The setup_channel flow for one channel/CSV pair.
#pragma once

#include <cstdint>

// What channel_setup reports.
enum : int {
    CHANNEL_SETUP_DONE = 0,     // the pair ran to its end (see its output for what happened)
    CHANNEL_SETUP_END_RUN = 1,  // the CSV file was rejected: nothing was uploaded and the run ends with status 1
};

int channel_setup(const char *address, std::uint32_t channel, const char *csv_path);
