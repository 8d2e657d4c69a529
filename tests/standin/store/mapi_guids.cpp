// Storage for the MAPI interface IDs these tests ask for (selectany).
#define USES_IID_IMAPIFolder
#define USES_IID_IMsgStore
#define USES_IID_IMessage
#define USES_IID_IMAPIProp
#define USES_IID_IMAPISession
#include <windows.h>
#include <initguid.h>
#include <mapiguid.h>
