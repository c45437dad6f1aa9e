// AppSteps: the start-up and the shut-down of both programs, as lists of steps. A step that
// fails is kept in the event log and the sequence goes on, as it always has: the same exit
// status and output, and a record to show what went wrong.
#pragma once

#include <cstdint>
#include <span>

struct AppStep {
    const char* pszName;      // its name in the event log
    std::uint16_t (*pfRun)(); // 0 for success or a status
};

// Keeps "<step> failed" with the status under pszWho when wStatus is not 0.
void AppCheckStep(const char* pszWho, const char* pszStep, std::uint16_t wStatus);
// Runs the steps in order, each checked.
void AppRunSteps(const char* pszWho, std::span<const AppStep> steps);
