#include "cli/list_options.h"

void list_read_channels(const char *, std::vector<std::int32_t> &) {}
void list_read_texts(const char *, std::optional<std::vector<std::string>> &) {}
