#include "status/status.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Walks `document` into a fresh record; returns the result.
int parse(const std::string &document, controller_status &status)
{
    return status_parse(document.data(), document.size(), &status);
}

TEST(StatusWalk, KnownMembers)
{
    controller_status s;
    EXPECT_EQ(parse(R"({"model_name":"X1","firmware_version":"1.5.0","serial_number":"S\u0031","other":"z"})", s), 0);
    EXPECT_EQ(s.model_name, "X1");
    EXPECT_EQ(s.firmware_version, "1.5.0");
    EXPECT_EQ(s.serial_number, "S1");
    EXPECT_FALSE(s.mac);

    // Every one of the 22 names lands in its own field.
    const char *names[] = {"model_name", "firmware_version", "build_date", "license", "license_number",
                           "hostname", "serial_number", "mac", "rtc_temperature", "ram_memory", "flash_memory",
                           "boot_count", "time", "uptime", "dali_channel_1", "dali_channel_2", "dali_channel_3",
                           "dali_channel_4", "ip", "bacnet_ip", "session_id", "username"};
    std::string all = "{";
    for (int i = 0; i < 22; ++i)
        all += std::string(i ? "," : "") + "\"" + names[i] + "\":\"v" + std::to_string(i) + "\"";
    all += "}";
    controller_status f;
    EXPECT_EQ(parse(all, f), 0);
    const std::optional<std::string> *fields[] = {
        &f.model_name, &f.firmware_version, &f.build_date, &f.license, &f.license_number, &f.hostname,
        &f.serial_number, &f.mac, &f.rtc_temperature, &f.ram_memory, &f.flash_memory, &f.boot_count,
        &f.time, &f.uptime, &f.dali_channel_1, &f.dali_channel_2, &f.dali_channel_3, &f.dali_channel_4,
        &f.ip, &f.bacnet_ip, &f.session_id, &f.username};
    for (int i = 0; i < 22; ++i)
        EXPECT_EQ(*fields[i], "v" + std::to_string(i)) << names[i];

    EXPECT_EQ(status_free(&f), 0);
    for (const auto *field : fields)
        EXPECT_FALSE(*field);
    EXPECT_EQ(status_free(nullptr), 1);
}

TEST(StatusWalk, DocumentsWithoutAModelName)
{
    controller_status s;
    EXPECT_EQ(parse(R"({"firmware_version":"1.5.0"})", s), 1);
    EXPECT_EQ(s.firmware_version, "1.5.0");

    // Names are compared exactly.
    EXPECT_EQ(parse(R"({"Model_Name":"X1"})", s), 1);
    EXPECT_FALSE(s.model_name);
    EXPECT_FALSE(s.firmware_version); // the record is cleared on every walk

    // A top-level array of strings is not walked as members.
    EXPECT_EQ(parse(R"(["model_name","X1"])", s), 1);
    EXPECT_FALSE(s.model_name);

    EXPECT_EQ(parse("", s), 1);
    EXPECT_EQ(status_parse(nullptr, 0, &s), 1);
    EXPECT_EQ(status_parse("{}", 2, nullptr), 1);

    EXPECT_EQ(parse("<html><head><title>404 Not Found</title></head><body>Not Found</body></html>\n", s), 1);
    EXPECT_FALSE(s.model_name);
}

TEST(StatusWalk, PairingFollowsStringEventsOnly)
{
    controller_status s;
    // A number value shifts the pairing: boot_count takes the next string.
    EXPECT_EQ(parse(R"({"boot_count":5,"model_name":"X1"})", s), 1);
    EXPECT_EQ(s.boot_count, "model_name");
    EXPECT_FALSE(s.model_name);

    // The inner object's end clears the inside state; the later model_name is ignored.
    EXPECT_EQ(parse(R"({"network":{"ip":"10.0.0.7"},"model_name":"X1"})", s), 1);
    EXPECT_EQ(s.ip, "10.0.0.7");
    EXPECT_FALSE(s.model_name);

    // A repeated member keeps the later value.
    EXPECT_EQ(parse(R"({"model_name":"X1","model_name":"X2"})", s), 0);
    EXPECT_EQ(s.model_name, "X2");

    // Cut off in the middle: members completed before the cut stay.
    EXPECT_EQ(parse(R"({"model_name":"VESTRA-4","firmware_version":"1.)", s), 0);
    EXPECT_EQ(s.model_name, "VESTRA-4");
    EXPECT_FALSE(s.firmware_version);
    EXPECT_EQ(parse(R"({"firmware_version":"1.2.0","model_na)", s), 1);
    EXPECT_EQ(s.firmware_version, "1.2.0");

    // Only the received bytes are read, not what lies after them.
    const std::string doc = R"({"model_name":"X1"}{"mac":"m"})";
    EXPECT_EQ(status_parse(doc.data(), 10, &s), 1);
    EXPECT_FALSE(s.model_name);
}

TEST(StatusAction, MissingAddress)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(action_get_status(nullptr), 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Missing arguments for action get_status.");
    controller_status s;
    EXPECT_EQ(status_get(nullptr, &s), 1);
    EXPECT_EQ(status_get("127.0.0.1:1", nullptr), 1);
}

} // namespace
