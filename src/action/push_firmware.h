// The push_firmware action: validates a firmware file and uploads its image.
#pragma once

int action_push_firmware(const char *address, const char *firmware_file);
