// What keeps the object model module loaded: live objects and class factory locks.
#pragma once

#include <atomic>

namespace standin::outlook {

inline std::atomic<long> g_moduleReferences{0};

// Holds the module for its owner's lifetime.
class ModuleReference {
public:
    ModuleReference() noexcept { ++g_moduleReferences; }
    ~ModuleReference() { --g_moduleReferences; }
    ModuleReference(const ModuleReference&) = delete;
    ModuleReference& operator=(const ModuleReference&) = delete;
};

}  // namespace standin::outlook
