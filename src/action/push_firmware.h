// The push_firmware action: validates a firmware file and uploads its image.
#pragma once

#include <string_view>

// 2 without an address, 1 in every other case.
int action_push_firmware(const char *address, const char *firmware_file);

// The text after the path's last '.', as a view into the path; empty when the
// path has no '.' or its only '.' is its first character.
std::string_view file_extension(const char *path);
