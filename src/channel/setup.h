// The setup_channel flow for one channel/CSV pair.
#pragma once

#include <cstdint>

void channel_setup(const char *address, std::uint32_t channel, const char *csv_path);
