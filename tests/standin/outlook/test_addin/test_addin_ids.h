// The test add-in's names, shared by the add-in and the tests that host it.
#pragma once

#include <windows.h>

inline constexpr wchar_t kTestAddInProgId[] = L"OutlookStandinTest.Connect";
inline constexpr CLSID CLSID_TestAddIn = {
    0x5C1E0A3B, 0x7D42, 0x4F0E, {0x9B, 0x61, 0x2E, 0x8A, 0x53, 0x17, 0xC4, 0x0D}};
inline constexpr wchar_t kTestAddInModule[] = L"outlook-standin-test-addin.dll";

// The file the add-in records its calls in, named in its host's environment.
inline constexpr wchar_t kTestLogVariable[] = L"OUTLOOK_STANDIN_TEST_LOG";
