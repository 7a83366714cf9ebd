// Channels and channel files (--channel, --channelcsvfile) pair by position,
// for setup_channel and get_channel alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// How many pairs there are: up to the end of the shorter list, or up to a
// channel 0, which ends the channel list.
std::size_t channel_pair_count(const std::vector<std::int32_t> &channels, const std::vector<std::string> &files);

// Names every channel that gets no file and every file that gets no channel
// (one line each on standard error), and records each as a failed step.
void channel_pairs_unmatched(const std::vector<std::int32_t> &channels, const std::vector<std::string> &files);
