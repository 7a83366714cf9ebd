// The run's record as one JSON document (--report): address, action, the
// controller's identity, each step, the files written, start and end, and the
// outcome. doc/report.schema.json describes it.
#pragma once

#include <ctime>
#include <optional>
#include <string>

struct report_frame {
    std::optional<std::string> address;
    std::optional<std::string> action;
    std::time_t started = 0;
    std::time_t ended = 0;
    const char *result = "ok";   // "ok", "failed" or "usage error"
    int exit_status = 0;
};

std::string report_document(const report_frame &frame);
