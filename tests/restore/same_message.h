// Two messages compared property by property, for tests of saving and restoring.
#pragma once

#include <windows.h>
#include <mapidefs.h>

#include <string>

namespace restoretest {

// Everything of `saved` is in `restored` with the same value: properties, recipients,
// attachments, and embedded messages in turn. The store may add properties of its own.
void ExpectSameMessage(IMessage* saved, IMessage* restored, const std::string& where);

}  // namespace restoretest
