// The setup_channel flow for one channel/CSV pair.
#pragma once

#include <cstdint>

// What channel_setup reports.
enum : int {
    CHANNEL_SETUP_DONE = 0,     // the changed channel file was uploaded and restored
    CHANNEL_SETUP_FAILED = 1,   // a step failed or was refused (its output says which); nothing more to do
    CHANNEL_SETUP_END_RUN = 2,  // the CSV file was rejected: nothing was uploaded and the run ends with status 1
};

int channel_setup(const char *address, std::uint32_t channel, const char *csv_path);
