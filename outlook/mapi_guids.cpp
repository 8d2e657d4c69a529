// Storage for every MAPI interface and property-set GUID the headers declare
// (mingw-w64's uuid library has none of them).
#include <objbase.h>

#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    extern "C" const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#include <mapiguid.h>
