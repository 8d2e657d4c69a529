// Resource IDs of the module, shared by the resource script and the code.
#pragma once

#define IDS_PROJNAME 100          // string: the project name
#define IDR_TALLOWMEREPLUGIN 101  // REGISTRY: the module's AppID script
#define IDR_CONNECT 102           // REGISTRY: the Connect class's script
#define IDR_TYPELIB 1             // TYPELIB: TallowmerePluginLib
