// The message file layout as reading, named properties and writing share it
// (msg_read.cpp, msg_names.cpp, msg_write.cpp): the names of its elements, the
// sizes of its headers and entries, the limits a file is held to, and the small
// helpers all three use. Internal to standin/msg; msg_file.h is its interface.
#pragma once

#include <string>
#include <vector>

#include "base/com.h"
#include "standin/mapi/props.h"
#include "standin/msg/msg_file.h"

namespace standin::msg::layout {

inline constexpr wchar_t kPropertiesStream[] = L"__properties_version1.0";
inline constexpr wchar_t kRecipientPrefix[] = L"__recip_version1.0_#";
inline constexpr wchar_t kAttachmentPrefix[] = L"__attach_version1.0_#";
inline constexpr wchar_t kNameIdStorage[] = L"__nameid_version1.0";
inline constexpr wchar_t kGuidStream[] = L"__substg1.0_00020102";
inline constexpr wchar_t kEntryStream[] = L"__substg1.0_00030102";
inline constexpr wchar_t kStringStream[] = L"__substg1.0_00040102";
inline constexpr wchar_t kEmbeddedStorage[] = L"__substg1.0_3701000D";
inline constexpr wchar_t kLayoutPrefix[] = L"__";  // every element of the layout starts so

// Property stream headers: the top-level message's counts and next ids, the
// same without the trailing reserved bytes for an embedded message, and only
// reserved bytes for recipients and attachments.
enum class ObjectKind { kTopMessage, kEmbeddedMessage, kRecipient, kAttachment };
inline constexpr std::size_t kTopHeaderSize = 32;
inline constexpr std::size_t kEmbeddedHeaderSize = 24;
inline constexpr std::size_t kChildHeaderSize = 8;
inline constexpr std::size_t kNextRecipientOffset = 8;
inline constexpr std::size_t kNextAttachmentOffset = 12;
inline constexpr std::size_t kRecipientCountOffset = 16;
inline constexpr std::size_t kAttachmentCountOffset = 20;

inline constexpr std::size_t kEntrySize = 16;
inline constexpr ULONG kEntryFlags = PROPATTR_READABLE | PROPATTR_WRITEABLE;
inline constexpr ULONG kObjectEntrySize = 0xFFFFFFFF;  // size field of an embedded message

// Named-property entries: property index in the high 16 bits, GUID index in the
// next 15, kind (1 = string) in the lowest; GUID indexes 1 and 2 are PS_MAPI and
// PS_PUBLIC_STRINGS, 3 and up the GUID stream's entries.
inline constexpr ULONG kGuidIndexMapi = 1;
inline constexpr ULONG kGuidIndexPublicStrings = 2;
inline constexpr ULONG kFirstStreamGuidIndex = 3;
inline constexpr std::size_t kNameEntrySize = 8;

// Limits on what a file may make us do.
inline constexpr std::size_t kMaxStreamBytes = std::size_t{256} << 20;
inline constexpr std::size_t kReadChunk = 64 * 1024;
inline constexpr std::size_t kMaxElements = 1 << 16;
inline constexpr std::size_t kMaxChildren = 2048;  // recipients, or attachments, of one message
inline constexpr std::size_t kMaxMultiValues = 1 << 16;
inline constexpr int kMaxNesting = 16;  // embedded messages inside embedded messages

inline constexpr DWORD kReadMode = STGM_READ | STGM_SHARE_EXCLUSIVE;
inline constexpr DWORD kCreateMode = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

using Bytes = std::vector<BYTE>;

struct Element {
    std::wstring name;
    DWORD type = 0;
};

[[nodiscard]] std::size_t HeaderSize(ObjectKind kind) noexcept;

[[nodiscard]] ULONG ReadU32(const BYTE* p) noexcept;

void WriteU32(BYTE* p, ULONG v) noexcept;

void AppendU32(Bytes& out, ULONG v);

// "__substg1.0_TTTTTTTT", with "-NNNNNNNN" for one value of a multi-valued property.
[[nodiscard]] std::wstring ValueStreamName(ULONG tag, const ULONG* index = nullptr);

[[nodiscard]] std::wstring ChildName(const wchar_t* prefix, ULONG number);

[[nodiscard]] HRESULT ListElements(IStorage* storage, std::vector<Element>& elements);

[[nodiscard]] const Element* FindElement(const std::vector<Element>& elements, const wchar_t* name,
                                         DWORD type);

// Reads a whole stream, however long it claims to be, in chunks: a lying size
// costs only what the file really holds.
[[nodiscard]] HRESULT ReadStream(IStorage* storage, const std::wstring& name, Bytes& out);

// Size in the property stream of the values held inline there.
[[nodiscard]] std::size_t InlineSize(ULONG type) noexcept;

[[nodiscard]] bool IsStreamType(ULONG type) noexcept;

[[nodiscard]] std::wstring Text16(const Bytes& data, std::size_t size);

[[nodiscard]] HRESULT OpenChild(IStorage* storage, const std::wstring& name, base::ComPtr<IStorage>& child);

[[nodiscard]] HRESULT WriteStream(IStorage* storage, const std::wstring& name, const void* data,
                                  std::size_t size);

[[nodiscard]] HRESULT CreateChild(IStorage* storage, const std::wstring& name, base::ComPtr<IStorage>& child);

[[nodiscard]] HRESULT CommitChild(IStorage* child);

// A message, or an embedded one, from `storage` and into it; the named-property
// mapping of a message file; the layout's elements removed, others kept.
[[nodiscard]] HRESULT ReadMessage(IStorage* storage, ObjectKind kind, int depth, MessageData& message);
[[nodiscard]] HRESULT ReadNameMap(IStorage* storage, const std::vector<Element>& elements, NameMap& names);
[[nodiscard]] HRESULT WriteMessage(IStorage* storage, ObjectKind kind, const MessageData& message);
[[nodiscard]] HRESULT WriteNameMap(IStorage* storage, const NameMap& names);
[[nodiscard]] HRESULT ClearLayout(IStorage* storage);

}  // namespace standin::msg::layout
