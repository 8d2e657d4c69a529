// The mail server's protocol over the tunnel, as both ends speak it: the channel and
// the names of its objects, the framing of a request and its codes, and the tokens of
// the replies. The server, the request operations, the client and the benchmarks take
// them from here; nothing else spells them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace wire {

// The channel the add-in serves, its mode, and the timeout of every transfer of a
// request (either end).
inline constexpr wchar_t kChannel[] = L"DiRirire.MSOutlook";
inline constexpr uint32_t kRequestTimeoutMs = 10000;

// How a server names and secures its objects.
enum ServerMode : uint32_t {
    kServerModeLocal = 1,           // Local\ names; the mode the add-in uses
    kServerModeGlobal = 2,          // Global\ names
    kServerModeGlobalLowLabel = 3,  // Global\ names, objects open to low integrity
    kServerModeNoTunnel = 100,      // an unnamed stop event only, no threads
};
inline constexpr uint32_t kChannelMode = kServerModeLocal;
// Every private channel a server publishes: the size of its data mapping, and how long
// the server waits for the client's half of the handshake.
inline constexpr uint32_t kChannelMappingSize = 0x10000;
inline constexpr uint32_t kHandshakeTimeoutMs = 5000;

// The prefix of a mode's object names; any mode but 2 and 3 names in Local\.
[[nodiscard]] inline const wchar_t* NamespacePrefix(uint32_t mode) noexcept {
    return mode == kServerModeGlobal || mode == kServerModeGlobalLowLabel ? L"Global\\" : L"Local\\";
}
// Where a server of `channel` publishes its private channels, and its stop event,
// which lives exactly as long as the server.
[[nodiscard]] inline std::wstring TunnelName(std::wstring_view channel, uint32_t mode = kChannelMode) {
    return std::wstring(NamespacePrefix(mode)).append(L"Kestrava.").append(channel).append(L".Tunnel");
}
[[nodiscard]] inline std::wstring StopEventName(std::wstring_view channel, uint32_t mode = kChannelMode) {
    return std::wstring(NamespacePrefix(mode)).append(L"Kestrava.").append(channel).append(L".Event");
}

// A request: the marker, the code, then the code's payload; then its reply.
inline constexpr uint32_t kRequestMarker = 0xABCDEF;
// Each code's payload, then its reply.
enum class RequestCode : uint32_t {
    GetAllFoldersList = 0,       // -> a count, then that many folder paths
    GetAllMailsFromFolder = 1,   // a folder path, includeBody -> the item count, then the entries
    SaveMailToMSGFile = 2,       // an entry ID, a file path -> kReplyDone or kReplyFailed
    RestoreMailFromMSGFile = 3,  // a file path, a folder path -> kReplyDone or kReplyFailed
    SendCurrentProfileName = 4,  // -> the profile's name
    QuitOutlook = 5,             // no reply
    NoOperation = 6,             // no reply
    FillFolderTree = 7,          // -> as code 0, without Junk E-mail and Deleted Items
    StartOutlook = 8,            // no reply
};
inline constexpr uint32_t kRequestCodeCount = 9;

// The single-number replies of codes 2 and 3.
inline constexpr uint32_t kReplyDone = 1;
inline constexpr uint32_t kReplyFailed = 0;
// Code 1's entries: "<signature>#####<entry ID>" for a mail, the token for anything else.
inline constexpr wchar_t kIgnoredEntry[] = L"IGNOREMAILENTRY";
inline constexpr wchar_t kEntrySeparator[] = L"#####";

}  // namespace wire
