// Run-time library binding. A "library" is a module registered under a name with a table of
// named entry points; the drive scan loads one by name and looks its entry points up, so the
// program runs with whatever provider is registered, or without one.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace LibraryLoader {

// An entry point as the loader hands it out; cast back to its real type by the caller.
using ProcAddress = void (*)();
// A loaded module; 0 when none.
using ModuleHandle = uintptr_t;

template <typename Fn>
ProcAddress Entry(Fn fn)
{
    return reinterpret_cast<ProcAddress>(fn);
}

struct ModuleDefinition {
    std::map<std::string, ProcAddress> entryPoints;
    // Runs when the module is first loaded; a nonzero error number makes the load fail
    // with that error (e.g. ERROR_DLL_NOT_FOUND when there is nothing to serve).
    std::function<uint32_t()> attach;
    // Runs when the last handle to the module is freed.
    std::function<void()> detach;
};

// Registers (or replaces) the module of that name. Module names compare case-insensitively.
// A module already loaded keeps its old definition until it is freed.
void RegisterModule(const std::string& name, ModuleDefinition definition);
void UnregisterModule(const std::string& name);

// Returns a handle, or 0 with error set (ERROR_DLL_NOT_FOUND when no module has that name).
ModuleHandle LoadLibrary(const std::string& name, uint32_t& error);
// Null when the module has no entry point of that name or the handle is not loaded.
ProcAddress GetProcAddress(ModuleHandle module, const std::string& name);
// Drops one reference; the module detaches with the last. False for an unknown handle.
bool FreeLibrary(ModuleHandle module);

// Number of handles loaded and not yet freed (tests check nothing is left loaded).
size_t LoadedHandles();

} // namespace LibraryLoader
