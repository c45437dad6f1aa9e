// Start-up and shut-down steps; see AppSteps.h.
#include "Application/AppSteps.h"

#include "Runtime/Log.h"

void AppCheckStep(const char* pszWho, const char* pszStep, std::uint16_t wStatus) {
    if (wStatus != 0) {
        LogError(pszWho, wStatus, "%s failed", pszStep);
    }
}

void AppRunSteps(const char* pszWho, std::span<const AppStep> steps) {
    for (const AppStep& tStep : steps) {
        AppCheckStep(pszWho, tStep.pszName, tStep.pfRun());
    }
}
