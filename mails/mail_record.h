// The mail record: one UTF-16 text built from a fixed set of a mail's MAPI
// properties, each read and normalised in a fixed way. Its digest is the mail's
// signature, which the backup client compares with the ones it saw before, so
// every character of it is part of the interface: the same mail must give the
// same record on every run.
//
// Fields, concatenated without separators; an unreadable field contributes nothing:
//   1 Internet message ID, 2 subject, 3 sender's address, 4-6 To, Cc and Bcc
//   display lists without apostrophes, 7 the body cut and stripped
//   (NormalizeSignatureBody, only with includeBody), 8 the submit time's "%#c"
//   text, 9 the whole body without LF, CR and blanks (only when 1 and 8 are empty).
// Text properties are read as 8-bit text first, as Unicode only when that fails.
//
// Everything here runs on a request's worker thread, inside its apartment.
#pragma once

#include <windows.h>
#include <mapidefs.h>

#include <string>

#include "base/com.h"
#include "outlook/outlook_interfaces.h"

namespace mails {

// The mail item of an entry ID through the "MAPI" namespace's GetItemFromID.
// E_FAIL without Outlook or without an item; E_NOINTERFACE for an item that is not
// a mail (a meeting request, a report); any other failure as it came. Logs nothing.
[[nodiscard]] HRESULT GetMailItemByEntryID(const wchar_t* entryId,
                                           base::ComPtr<_MailItem>& mailItem) noexcept;

// The mail's Extended MAPI message: its MAPIOBJECT queried for IMessage.
[[nodiscard]] HRESULT GetMailMessage(_MailItem* mailItem, base::ComPtr<IMessage>& message) noexcept;

// A text property through mapi32's HrGetOneProp; `text` empty on failure. E_FAIL
// when MAPI gives an error value in its place. `tag` is of type PT_STRING8 (A,
// widened byte for byte) or PT_UNICODE (W, as it stands).
[[nodiscard]] HRESULT GetStringPropA(IMessage* message, ULONG tag, std::wstring& text) noexcept;
[[nodiscard]] HRESULT GetStringPropW(IMessage* message, ULONG tag, std::wstring& text) noexcept;

// 8-bit text widened by the runtime's mbstowcs in the "C" locale, where each byte
// becomes the code unit of its value, whatever locale the process has set. Empty when
// mbstowcs refuses the text.
[[nodiscard]] std::wstring AnsiToWide(const char* text);

// The PT_SYSTIME property `tag` as local time in the runtime's "%#c" form of the "C"
// locale ("Tuesday, March 14, 2023 09:05:07"), whatever locale the process has set. Success with `text` empty
// for a missing value or a zero time; E_FAIL for a time that does not survive the conversion to an automation
// date; "Invalid DateTime" when the date gives no calendar fields.
[[nodiscard]] HRESULT GetSubmitTimeText(IMessage* message, ULONG tag, std::wstring& text) noexcept;

// The body's short form: its first 1024 characters without LF, CR and blanks, and
// without any "<mailto:...>" link text (every occurrence of each).
void NormalizeSignatureBody(std::wstring& text);

// The record of `message`. Throws only std::bad_alloc.
[[nodiscard]] std::wstring BuildMailRecord(IMessage* message, bool includeBody);

}  // namespace mails
