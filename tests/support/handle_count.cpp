#include "tests/support/handle_count.h"

#include <winternl.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace testsupport {
namespace {

// The layout of SystemHandleInformation (16), which winternl.h leaves out. The table
// gives process IDs in 16 bits.
constexpr auto kSystemHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(16);
struct SystemHandleEntry {
    USHORT processId;
    USHORT creatorBackTraceIndex;
    UCHAR objectType;
    UCHAR attributes;
    USHORT handle;
    void* object;
    ACCESS_MASK access;
};
struct SystemHandles {
    ULONG count;
    SystemHandleEntry entries[1];
};
constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);

}  // namespace

ULONG HandleCount(DWORD processId) {
    std::vector<uint8_t> buffer(1 << 20);
    NTSTATUS status;
    while ((status = NtQuerySystemInformation(kSystemHandleInformation, buffer.data(),
                                              static_cast<ULONG>(buffer.size()), nullptr)) ==
           kInfoLengthMismatch)
        buffer.resize(buffer.size() * 2);
    if (status != 0) return 0;
    const auto* table = reinterpret_cast<const SystemHandles*>(buffer.data());
    return static_cast<ULONG>(
        std::count_if(table->entries, table->entries + table->count,
                      [&](const auto& e) { return e.processId == static_cast<USHORT>(processId); }));
}

}  // namespace testsupport
