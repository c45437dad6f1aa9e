// What a unit test left behind in the shared modules, for the guard in TestMain.cpp.
#pragma once

#include <string>

namespace talvo_test {

// "" when nothing is left, else e.g. "2 scheduler slots, 1 timer".
std::string LeftBehind();
// Puts the modules back to their first state, so that one leak fails one test only.
void ClearLeftBehind();

} // namespace talvo_test
