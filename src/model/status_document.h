// The controller's status document (a JSON object of string members) and the
// record of the members the tool knows.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

// The members of the status document the tool knows, each absent until the
// document delivered it. Only model_name and firmware_version are read by the
// tool; the others are kept as received.
struct controller_status {
    std::optional<std::string> model_name;
    std::optional<std::string> firmware_version;
    std::optional<std::string> build_date;
    std::optional<std::string> license;
    std::optional<std::string> license_number;
    std::optional<std::string> hostname;
    std::optional<std::string> serial_number;
    std::optional<std::string> mac;
    std::optional<std::string> rtc_temperature;
    std::optional<std::string> ram_memory;
    std::optional<std::string> flash_memory;
    std::optional<std::string> boot_count;
    std::optional<std::string> time;
    std::optional<std::string> uptime;
    std::optional<std::string> dali_channel_1;
    std::optional<std::string> dali_channel_2;
    std::optional<std::string> dali_channel_3;
    std::optional<std::string> dali_channel_4;
    std::optional<std::string> ip;
    std::optional<std::string> bacnet_ip;
    std::optional<std::string> session_id;
    std::optional<std::string> username;
};

// Takes the known members of a status document (`size` bytes, no terminator
// needed) into `status`, which is cleared first. 0 when model_name was taken.
int status_parse(const char *data, std::size_t size, controller_status *status);

// Clears all fields. 1 when given null, else 0.
int status_free(controller_status *status);
