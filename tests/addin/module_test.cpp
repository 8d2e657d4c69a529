// The running marker: there while any process holds the module.
#include <gtest/gtest.h>

#include <string>

#include "base/unique_resource.h"
#include "tests/addin/plugin.h"
#include "tests/support/child_process.h"

namespace {

using addintest::LoadedPlugin;

constexpr wchar_t kRunningMarker[] = L"Local\\Kestrava.TallowmerePlugin.RunningMtx";
constexpr DWORD kChildTimeoutMs = 60000;  // a limit for hung children, not a measure

// Loads the module, says so, unloads it when told, says so, and ends when told.
TEST_CHILD_ROLE(hold_module) {
    const base::UniqueHandle loaded(OpenEventW(EVENT_MODIFY_STATE, FALSE, (args.at(0) + L".loaded").c_str()));
    const base::UniqueHandle unload(OpenEventW(SYNCHRONIZE, FALSE, (args.at(0) + L".unload").c_str()));
    const base::UniqueHandle unloaded(
        OpenEventW(EVENT_MODIFY_STATE, FALSE, (args.at(0) + L".unloaded").c_str()));
    const base::UniqueHandle end(OpenEventW(SYNCHRONIZE, FALSE, (args.at(0) + L".end").c_str()));
    if (!loaded || !unload || !unloaded || !end) return 1;
    {
        const LoadedPlugin plugin;
        if (!plugin.loaded()) return 2;
        SetEvent(loaded.get());
        if (WaitForSingleObject(unload.get(), kChildTimeoutMs) != WAIT_OBJECT_0) return 3;
    }
    SetEvent(unloaded.get());
    return WaitForSingleObject(end.get(), kChildTimeoutMs) == WAIT_OBJECT_0 ? 0 : 4;
}

bool MarkerExists() {
    SetLastError(0xdeadbeef);
    const base::UniqueHandle marker(OpenMutexW(SYNCHRONIZE, FALSE, kRunningMarker));
    if (!marker) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    }
    return marker.valid();
}

// One process holding the module, driven through named events.
class ModuleHolder {
public:
    explicit ModuleHolder(const std::wstring& name)
        : loaded_(CreateEventW(nullptr, TRUE, FALSE, (name + L".loaded").c_str())),
          unload_(CreateEventW(nullptr, TRUE, FALSE, (name + L".unload").c_str())),
          unloaded_(CreateEventW(nullptr, TRUE, FALSE, (name + L".unloaded").c_str())),
          end_(CreateEventW(nullptr, TRUE, FALSE, (name + L".end").c_str())),
          child_(L"hold_module", {name}) {}
    ~ModuleHolder() { SetEvent(end_.get()); }

    [[nodiscard]] bool WaitLoaded() const { return WaitFor(loaded_); }
    [[nodiscard]] bool Unload() const { return SetEvent(unload_.get()) && WaitFor(unloaded_); }
    [[nodiscard]] DWORD End() {
        SetEvent(end_.get());
        return child_.Wait(kChildTimeoutMs);
    }

private:
    [[nodiscard]] bool WaitFor(const base::UniqueHandle& event) const {
        const HANDLE waits[] = {event.get(), child_.handle()};
        return WaitForMultipleObjects(2, waits, FALSE, kChildTimeoutMs) == WAIT_OBJECT_0;
    }

    base::UniqueHandle loaded_, unload_, unloaded_, end_;
    testsupport::ChildProcess child_;
};

// This process must not hold the module itself.
TEST(RunningMarkerTest, ExistsWhileAnyProcessHoldsTheModule) {
    ASSERT_FALSE(MarkerExists()) << "another process holds the module";
    ModuleHolder first(testsupport::UniqueName(L"marker.first"));
    ASSERT_TRUE(first.WaitLoaded());
    EXPECT_TRUE(MarkerExists());
    ModuleHolder second(testsupport::UniqueName(L"marker.second"));
    ASSERT_TRUE(second.WaitLoaded());
    EXPECT_TRUE(MarkerExists());

    ASSERT_TRUE(first.Unload());
    EXPECT_TRUE(MarkerExists()) << "the second process still holds the module";
    ASSERT_TRUE(second.Unload());
    EXPECT_FALSE(MarkerExists()) << "both processes unloaded the module";
    EXPECT_EQ(0u, first.End());
    EXPECT_EQ(0u, second.End());
}

}  // namespace
