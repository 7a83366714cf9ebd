#include "model/status_document.h"

#include "base/format.h"
#include "json/json.h"

namespace {

using status_field = std::optional<std::string> controller_status::*;

struct field_name {
    const char *name;
    status_field field;
};

// In the order of the record; a member name takes the first field it equals.
constexpr field_name FIELDS[] = {
    {"model_name", &controller_status::model_name},
    {"firmware_version", &controller_status::firmware_version},
    {"build_date", &controller_status::build_date},
    {"license", &controller_status::license},
    {"license_number", &controller_status::license_number},
    {"hostname", &controller_status::hostname},
    {"serial_number", &controller_status::serial_number},
    {"mac", &controller_status::mac},
    {"rtc_temperature", &controller_status::rtc_temperature},
    {"ram_memory", &controller_status::ram_memory},
    {"flash_memory", &controller_status::flash_memory},
    {"boot_count", &controller_status::boot_count},
    {"time", &controller_status::time},
    {"uptime", &controller_status::uptime},
    {"dali_channel_1", &controller_status::dali_channel_1},
    {"dali_channel_2", &controller_status::dali_channel_2},
    {"dali_channel_3", &controller_status::dali_channel_3},
    {"dali_channel_4", &controller_status::dali_channel_4},
    {"ip", &controller_status::ip},
    {"bacnet_ip", &controller_status::bacnet_ip},
    {"session_id", &controller_status::session_id},
    {"username", &controller_status::username},
};

void clear_fields(controller_status *status)
{
    for (const field_name &f : FIELDS)
        (status->*(f.field)).reset();
}

// A copy of the current string token; absent when it cannot be made.
std::optional<std::string> copy_token(json_stream &json)
{
    std::string copy;
    if (format_alloc(copy, "%s", json_get_string(&json, nullptr)) < 0)
        return std::nullopt;
    return copy;
}

} // namespace

// Names and values alternate among the string events inside an object; the
// walk does not follow the parser's idea of keys, and the first object end
// ends the "inside" state whatever the nesting.
int status_parse(const char *data, std::size_t size, controller_status *status)
{
    if (!status)
        return 1;
    clear_fields(status);
    int result = 1;
    std::optional<std::string> name;
    bool in_object = false;
    json_stream json;
    json_open_buffer(&json, data, size);
    for (bool walking = true; walking;) {
        switch (json_next(&json)) {
        case JSON_OBJECT:
            name.reset();
            in_object = true;
            break;
        case JSON_OBJECT_END:
            name.reset();
            in_object = false;
            break;
        case JSON_STRING:
            if (!in_object)
                break;
            if (!name) {
                name = copy_token(json);
                break;
            }
            for (const field_name &f : FIELDS) {
                if (*name == f.name) {
                    status->*(f.field) = copy_token(json);
                    if (f.field == &controller_status::model_name)
                        result = 0;
                    break;
                }
            }
            name.reset();
            break;
        case JSON_DONE:
        case JSON_ERROR:
            walking = false;
            break;
        default:
            break;
        }
    }
    json_close(&json);
    return result;
}

int status_free(controller_status *status)
{
    if (!status)
        return 1;
    clear_fields(status);
    return 0;
}
