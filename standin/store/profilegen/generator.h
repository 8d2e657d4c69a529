// Writes a profile folder from a description (description.h), the same bytes
// for the same description... up to the compound files' own layout, which the
// message file layer decides.
#pragma once

#include <windows.h>

#include <string>

#include "standin/store/profilegen/description.h"

namespace standin::profilegen {

// Creates `folder` (which must not exist or be empty) and fills it. On failure
// `error` says what could not be written.
[[nodiscard]] HRESULT GenerateProfile(const ProfileSpec& profile, const std::wstring& folder, std::wstring& error);

}  // namespace standin::profilegen
