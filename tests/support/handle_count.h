// How many handles a process holds, counted where the count means something under
// Wine too: Wine 8 answers GetProcessHandleCount with 0, so the count is the
// process's entries in the system handle table, which Wine and Windows both fill.
#pragma once

#include <windows.h>

namespace testsupport {

// The handles process `processId` holds (this process by default); 0 when the table
// cannot be read. A live process holds some, so callers take 0 as a failure.
[[nodiscard]] ULONG HandleCount(DWORD processId = GetCurrentProcessId());

}  // namespace testsupport
