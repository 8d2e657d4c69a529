// The MAPI declarations the stand-in implements, from mingw-w64's headers, and the
// few property tags those headers lack.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <mapidefs.h>
#include <mapicode.h>
#include <mapitags.h>
#include <mapix.h>
#include <mapiutil.h>
#include <imessage.h>
#include <mapiguid.h>

#ifndef PR_INTERNET_CPID
#define PR_INTERNET_CPID PROP_TAG(PT_LONG, 0x3FDE)
#endif
#ifndef PR_MESSAGE_CODEPAGE
#define PR_MESSAGE_CODEPAGE PROP_TAG(PT_LONG, 0x3FFD)
#endif
#ifndef PR_STORE_SUPPORT_MASK
#define PR_STORE_SUPPORT_MASK PROP_TAG(PT_LONG, 0x340D)
#endif
#ifndef STORE_UNICODE_OK
#define STORE_UNICODE_OK ((ULONG)0x00040000)
#endif
