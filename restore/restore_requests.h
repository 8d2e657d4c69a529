// Restoring one mail (code 3): a message file the client names is copied into a new
// message of the folder its folder path names. The message file is only read: it is
// opened transacted and never committed, so a backup is never changed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "tunnel/tunnel.h"

namespace restore {

// Code 3: receives the file path and the folder path (two leading backslashes added
// when missing), replies 1 when the mail was stored, else 0. Runs on the connection's
// worker thread in its own single-threaded apartment, `timeoutMs` for every transfer.
// True when the reply was sent.
[[nodiscard]] bool RestoreMailFromMSGFile(TunnelConnection* connection, uint32_t timeoutMs) noexcept;

// Loads the message file into the folder `folderPath` names; E_FAIL without Outlook or
// for an empty path. Every failure after that is logged with its step.
[[nodiscard]] HRESULT LoadMailFromMSGFile(const std::wstring& filePath,
                                          const std::wstring& folderPath) noexcept;

}  // namespace restore
