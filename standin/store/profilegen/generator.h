// Writes a profile folder from a description (description.h): the same
// description gives the same files, byte for byte.
#pragma once

#include <windows.h>

#include <string>

#include "standin/store/profilegen/description.h"

namespace standin::profilegen {

// Creates `folder` (which must not exist or be empty) and fills it. On failure
// `error` says what could not be written.
[[nodiscard]] HRESULT GenerateProfile(const ProfilePlan& profile, const std::wstring& folder,
                                      std::wstring& error);

}  // namespace standin::profilegen
