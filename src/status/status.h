// The controller's status document and the get_status action.
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

// get_status: 2 without an address, else status_get's result; prints
// "model_name=..." when the controller named its model.
int action_get_status(const char *address);

// Fetches "<address>/api/v100/status.ssi" into `status`. 0 when the document
// delivered a model_name, 1 otherwise (missing argument, transfer failure, no
// model_name). The record holds whatever was taken, whatever the result.
int status_get(const char *address, controller_status *status);

// Takes the known members of a status document (`size` bytes, no terminator
// needed) into `status`, which is cleared first. 0 when model_name was taken.
int status_parse(const char *data, std::size_t size, controller_status *status);

// Clears all fields. 1 when given null, else 0.
int status_free(controller_status *status);
