// "--terminate": ends every other running copy of this user whose program file is named
// kovrax in any letter case. Each is asked to end (SIGTERM, so that it shuts down in order);
// one that has not ended within the grace time is killed.
#pragma once
#include <chrono>

namespace kovrax {

// Returns how many processes were asked to end.
int TerminateRunningCopies(std::chrono::milliseconds grace = std::chrono::milliseconds(5000));

}  // namespace kovrax
