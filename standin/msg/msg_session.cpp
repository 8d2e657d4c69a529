// Placeholder until the message layer lands: message sessions and OpenIMsgOnIStg.
#include "standin/mapi32/mapi.h"

extern "C" {

SCODE WINAPI OpenIMsgSession(LPMALLOC, ULONG, LPMSGSESS* lppMsgSess) {
    if (lppMsgSess) *lppMsgSess = nullptr;
    return MAPI_E_NO_SUPPORT;
}

void WINAPI CloseIMsgSession(LPMSGSESS) {}

SCODE WINAPI OpenIMsgOnIStg(LPMSGSESS, LPALLOCATEBUFFER, LPALLOCATEMORE, LPFREEBUFFER, LPMALLOC, LPVOID, LPSTORAGE,
                            MSGCALLRELEASE*, ULONG, ULONG, LPMESSAGE* lppMsg) {
    if (lppMsg) *lppMsg = nullptr;
    return MAPI_E_NO_SUPPORT;
}

}  // extern "C"
