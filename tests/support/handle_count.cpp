#include "tests/support/handle_count.h"

#include <winternl.h>

#include <cstdint>
#include <vector>

#include "base/unique_resource.h"

namespace testsupport {
namespace {

constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);

// The HandleCount of the process's SystemProcessInformation entry; 0 if not listed.
ULONG ListedHandleCount(DWORD processId) {
    std::vector<uint8_t> buffer(1 << 18);
    NTSTATUS status;
    while ((status = NtQuerySystemInformation(SystemProcessInformation, buffer.data(),
                                              static_cast<ULONG>(buffer.size()), nullptr)) ==
           kInfoLengthMismatch)
        buffer.resize(buffer.size() * 2);
    if (status != 0) return 0;
    for (size_t at = 0;;) {
        const auto* entry = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(buffer.data() + at);
        if (reinterpret_cast<ULONG_PTR>(entry->UniqueProcessId) == processId) return entry->HandleCount;
        if (entry->NextEntryOffset == 0) return 0;
        at += entry->NextEntryOffset;
    }
}

}  // namespace

ULONG HandleCount(DWORD processId) {
    const base::UniqueHandle process(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_DUP_HANDLE, FALSE, processId));
    DWORD count = 0;
    if (!process || (GetProcessHandleCount(process.get(), &count) && count != 0)) return count;
    // Wine: a slot holds a handle when the handle can be duplicated out of it.
    const ULONG slots = ListedHandleCount(processId);
    for (ULONG slot = 1; slot <= slots; ++slot) {
        HANDLE copy = nullptr;
        if (DuplicateHandle(process.get(), reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(slot) * 4),
                            GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
            base::UniqueHandle owned(copy);
            ++count;
        }
    }
    // The handle opened here is one of them when the process counted is this one.
    return processId == GetCurrentProcessId() && count != 0 ? count - 1 : count;
}

}  // namespace testsupport
