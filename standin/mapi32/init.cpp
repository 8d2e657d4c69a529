// MAPIInitialize / MAPIUninitialize: the stand-in needs no global set-up. The calls
// are counted only so that an extra MAPIUninitialize stays harmless.
#include "standin/mapi/mapi.h"

namespace {
volatile LONG g_initCount = 0;
}

extern "C" {

HRESULT WINAPI MAPIInitialize(LPVOID) {
    ::InterlockedIncrement(&g_initCount);
    return S_OK;
}

void WINAPI MAPIUninitialize() {
    LONG count;
    do {
        count = g_initCount;
        if (count == 0) return;
    } while (::InterlockedCompareExchange(&g_initCount, count - 1, count) != count);
}

}  // extern "C"
