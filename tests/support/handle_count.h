// How many handles a process holds. Wine 8 answers GetProcessHandleCount with 0, and
// its wineserver (with every process of the prefix) dies reading the system handle
// table while a process holds an object without a type, as starting processes do. So
// under Wine each slot of the process's table is tried, up to the table's size.
#pragma once

#include <windows.h>

namespace testsupport {

// The handles process `processId` holds (this process by default); 0 when they
// cannot be counted. A live process holds some, so callers take 0 as a failure.
[[nodiscard]] ULONG HandleCount(DWORD processId = GetCurrentProcessId());

}  // namespace testsupport
