// The record of a run that --report writes and --exit-status judges: the
// controller's identity as far as it was read, one step per configuration,
// channel or upload with its result, and the files written. The actions add
// to it as they go; the front end reads it at the end.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

struct report_step {
    std::string kind;       // "status", "configuration", "channel", "firmware", "upload", "request", "output"
    std::string name;       // the configuration, channel number, file or request
    bool ok = false;
    std::uint64_t bytes = 0;
    std::string error;      // why it failed, empty when it did not
};

struct run_report {
    std::optional<std::string> model;
    std::optional<std::string> firmware;
    std::optional<std::string> serial;
    // A deque: a backup of 65,535 entries records as many steps, which
    // grow without being copied whole.
    std::deque<report_step> steps;
    std::vector<std::string> files;
    bool missing_arguments = false;   // the action printed its missing-arguments message
};

// The record of this run.
run_report &run_record();
// Adds a step; returns its place, by which it can be marked failed later.
std::size_t record_step(const char *kind, const std::string &name, bool ok, std::uint64_t bytes = 0,
                        const std::string &error = {});
// Marks the step at `place` failed, for `error`: what it did was undone
// after all (a backup archive that could not be written at its end).
void record_step_failed(std::size_t place, const std::string &error);
// Keeps the first identity read in the run (later ones do not replace it).
void record_identity(const std::optional<std::string> &model, const std::optional<std::string> &firmware,
                     const std::optional<std::string> &serial);
void record_file(const std::string &path);
// Prints the action's "Missing arguments for action NAME." (no line end) and
// notes it in the record.
void missing_arguments(const char *action);
// Why a download of a configuration failed, for the record: the transfer's
// failure, or what the listing of backup_fetch's result `fetched` says.
std::string fetch_failure(int fetched);
// Whether any step failed.
bool run_failed();
