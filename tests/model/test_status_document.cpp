// The walk over the controller's status document.
#include "model/status_document.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(StatusWalk, EveryMemberLandsInItsOwnField)
{
    const char *names[] = {"model_name", "firmware_version", "build_date", "license", "license_number",
                           "hostname", "serial_number", "mac", "rtc_temperature", "ram_memory", "flash_memory",
                           "boot_count", "time", "uptime", "dali_channel_1", "dali_channel_2", "dali_channel_3",
                           "dali_channel_4", "ip", "bacnet_ip", "session_id", "username"};
    std::string all = "{\"other\":\"z\"";
    for (int i = 0; i < 22; ++i)
        all += std::string(",\"") + names[i] + "\":\"v\\u00" + std::to_string(30 + i / 10) + std::to_string(i % 10) + "\"";
    all += "}";
    controller_status s;
    EXPECT_EQ(status_parse(all.data(), all.size(), &s), 0);
    const std::optional<std::string> *fields[] = {
        &s.model_name, &s.firmware_version, &s.build_date, &s.license, &s.license_number, &s.hostname,
        &s.serial_number, &s.mac, &s.rtc_temperature, &s.ram_memory, &s.flash_memory, &s.boot_count,
        &s.time, &s.uptime, &s.dali_channel_1, &s.dali_channel_2, &s.dali_channel_3, &s.dali_channel_4,
        &s.ip, &s.bacnet_ip, &s.session_id, &s.username};
    for (int i = 0; i < 22; ++i)
        EXPECT_EQ(*fields[i], std::string("v").append(std::to_string(i / 10)).append(std::to_string(i % 10)))
            << names[i];
    EXPECT_EQ(status_free(&s), 0);
    for (const auto *field : fields)
        EXPECT_FALSE(*field);
    EXPECT_EQ(status_free(nullptr), 1);
}

TEST(StatusWalk, OddDocuments)
{
    const struct {
        std::string document;
        int result;
        const char *model;    // nullptr: no model name
        const char *firmware; // nullptr: no firmware version
    } cases[] = {
        {R"({"model_name":"X1","firmware_version":"1.5.0"})", 0, "X1", "1.5.0"},
        {R"({"firmware_version":"1.5.0"})", 1, nullptr, "1.5.0"},
        // Names are compared exactly.
        {R"({"Model_Name":"X1"})", 1, nullptr, nullptr},
        // A number value shifts the pairing: boot_count takes the next string.
        {R"({"boot_count":5,"model_name":"X1"})", 1, nullptr, nullptr},
        // The inner object's end clears the inside state: the later model_name is ignored.
        {R"({"network":{"ip":"10.0.0.7"},"model_name":"X1"})", 1, nullptr, nullptr},
        // A top-level array of strings is not walked as members.
        {R"(["model_name","X1"])", 1, nullptr, nullptr},
        // A repeated member keeps the later value.
        {R"({"model_name":"X1","model_name":"X2"})", 0, "X2", nullptr},
        // Cut off: members completed before the cut stay.
        {R"({"model_name":"VESTRA-4","firmware_version":"1.)", 0, "VESTRA-4", nullptr},
        {R"({"firmware_version":"1.2.0","model_na)", 1, nullptr, "1.2.0"},
        {"", 1, nullptr, nullptr},
        {"<html><head><title>404 Not Found</title></head><body>Not Found</body></html>\n", 1, nullptr, nullptr},
    };
    controller_status s;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.document);
        // The record is cleared on every walk.
        EXPECT_EQ(status_parse(c.document.data(), c.document.size(), &s), c.result);
        EXPECT_EQ(s.model_name, c.model ? std::optional<std::string>(c.model) : std::nullopt);
        EXPECT_EQ(s.firmware_version, c.firmware ? std::optional<std::string>(c.firmware) : std::nullopt);
    }
    const std::string shifted = R"({"boot_count":5,"model_name":"X1"})";
    status_parse(shifted.data(), shifted.size(), &s);
    EXPECT_EQ(s.boot_count, "model_name");
    const std::string nested = R"({"network":{"ip":"10.0.0.7"},"model_name":"X1"})";
    status_parse(nested.data(), nested.size(), &s);
    EXPECT_EQ(s.ip, "10.0.0.7");

    // Only the received bytes are read, not what lies after them.
    const std::string doc = R"({"model_name":"X1"}{"mac":"m"})";
    EXPECT_EQ(status_parse(doc.data(), 10, &s), 1);
    EXPECT_FALSE(s.model_name);
    EXPECT_EQ(status_parse(nullptr, 0, &s), 1);
    EXPECT_EQ(status_parse("{}", 2, nullptr), 1);
}

} // namespace
