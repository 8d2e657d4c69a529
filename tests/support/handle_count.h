// How many handles a process holds, counted where the count means something under
// Wine too. Wine 8 answers GetProcessHandleCount with 0, and reading its system
// handle table (SystemHandleInformation) crashes its wineserver, and with it every
// process of the prefix, when a process holds an object of a kind without a type
// (as processes do while they start). So under Wine each slot of the process's own
// table is tried: Wine gives the table's size as the process's handle count in
// SystemProcessInformation.
#pragma once

#include <windows.h>

namespace testsupport {

// The handles process `processId` holds (this process by default); 0 when they
// cannot be counted. A live process holds some, so callers take 0 as a failure.
[[nodiscard]] ULONG HandleCount(DWORD processId = GetCurrentProcessId());

}  // namespace testsupport
