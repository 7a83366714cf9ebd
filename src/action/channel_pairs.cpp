#include "action/channel_pairs.h"

#include "action/report.h"
#include "base/diag.h"
#include "base/text.h"

#include <algorithm>

namespace {

// Channels before the 0 that ends the list.
std::size_t channel_count(const std::vector<std::int32_t> &channels)
{
    return static_cast<std::size_t>(std::find(channels.begin(), channels.end(), 0) - channels.begin());
}

const char *plural(std::size_t count) { return count == 1 ? "" : "s"; }

} // namespace

std::size_t channel_pair_count(const std::vector<std::int32_t> &channels, const std::vector<std::string> &files)
{
    return std::min(channel_count(channels), files.size());
}

void channel_pairs_unmatched(const std::vector<std::int32_t> &channels, const std::vector<std::string> &files)
{
    const std::size_t count = channel_count(channels);
    for (std::size_t i = files.size(); i < count; ++i) {
        diag("--channel: channel %d gets no file: --channelcsvfile names %zu file%s for %zu channel%s; nothing is "
             "done for it", static_cast<int>(channels[i]), files.size(), plural(files.size()), count, plural(count));
        record_step("channel", std::to_string(channels[i]), false, 0, "no channel file pairs with it");
    }
    for (std::size_t i = count; i < files.size(); ++i) {
        diag("--channelcsvfile: '%s' gets no channel: --channel names %zu channel%s for %zu file%s; it is not used",
             console_line(files[i]).c_str(), count, plural(count), files.size(), plural(files.size()));
        record_step("channel", files[i], false, 0, "no channel pairs with it");
    }
}
