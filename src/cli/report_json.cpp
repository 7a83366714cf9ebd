#include "cli/report_json.h"

#include "action/report.h"
#include "base/system.h"
#include "json/json_write.h"

#include <optional>

namespace {

// Local time with its offset from UTC, as ISO 8601: 2026-12-07T10:15:02+01:00.
std::string iso_time(std::time_t when)
{
    const std::optional<std::string> stamp = local_time_iso8601(when);
    return stamp ? json_quote(*stamp) : "null";
}

std::string text_or_null(const std::optional<std::string> &text) { return text ? json_quote(*text) : "null"; }

} // namespace

std::string report_document(const report_frame &frame)
{
    const run_report &record = run_record();
    std::string out = "{\n";
    out += "  \"tool\": \"mervo-cli\",\n";
    out += "  \"version\": " + json_quote(MERVO_VERSION) + ",\n";
    out += "  \"address\": " + text_or_null(frame.address) + ",\n";
    out += "  \"action\": " + text_or_null(frame.action) + ",\n";
    out += "  \"controller\": {\"model\": " + text_or_null(record.model) + ", \"firmware\": " +
           text_or_null(record.firmware) + ", \"serial\": " + text_or_null(record.serial) + "},\n";
    out += "  \"steps\": [";
    for (std::size_t i = 0; i < record.steps.size(); ++i) {
        const report_step &step = record.steps[i];
        out += i == 0 ? "\n" : ",\n";
        out += "    {\"kind\": " + json_quote(step.kind) + ", \"name\": " + json_quote(step.name) +
               ", \"result\": " + (step.ok ? "\"ok\"" : "\"failed\"") + ", \"bytes\": " + std::to_string(step.bytes);
        if (!step.ok)
            out += ", \"error\": " + json_quote(step.error.empty() ? "failed" : step.error);
        out += "}";
    }
    out += record.steps.empty() ? "],\n" : "\n  ],\n";
    out += "  \"files\": [";
    for (std::size_t i = 0; i < record.files.size(); ++i)
        out += (i == 0 ? "" : ", ") + json_quote(record.files[i]);
    out += "],\n";
    out += "  \"started\": " + iso_time(frame.started) + ",\n";
    out += "  \"ended\": " + iso_time(frame.ended) + ",\n";
    out += "  \"result\": " + json_quote(frame.result) + ",\n";
    out += "  \"exit_status\": " + std::to_string(frame.exit_status) + "\n";
    return out + "}\n";
}
