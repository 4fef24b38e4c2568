#include "aspi/LibraryLoader.h"

#include "platform/Errors.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>

namespace LibraryLoader {
namespace {

struct LoadedModule {
    std::string name;
    std::shared_ptr<const ModuleDefinition> definition;
    size_t references = 0;
};

struct Registry {
    std::mutex lock;
    std::map<std::string, std::shared_ptr<const ModuleDefinition>> modules;
    // One entry per loaded module; its handle is the key.
    std::map<ModuleHandle, LoadedModule> loaded;
    ModuleHandle nextHandle = 0x1000;
};

Registry& registry()
{
    static Registry r;
    return r;
}

std::string Key(const std::string& name)
{
    std::string key = name;
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return key;
}

} // namespace

void RegisterModule(const std::string& name, ModuleDefinition definition)
{
    std::lock_guard guard(registry().lock);
    registry().modules[Key(name)] = std::make_shared<const ModuleDefinition>(std::move(definition));
}

void UnregisterModule(const std::string& name)
{
    std::lock_guard guard(registry().lock);
    registry().modules.erase(Key(name));
}

ModuleHandle LoadLibrary(const std::string& name, uint32_t& error)
{
    const std::string key = Key(name);
    std::shared_ptr<const ModuleDefinition> definition;
    {
        std::lock_guard guard(registry().lock);
        for (auto& [handle, module] : registry().loaded) {
            if (module.name == key) {
                ++module.references;
                error = ERROR_SUCCESS;
                return handle;
            }
        }
        auto found = registry().modules.find(key);
        if (found == registry().modules.end()) {
            error = ERROR_DLL_NOT_FOUND;
            return 0;
        }
        definition = found->second;
    }
    // Attach outside the lock: a provider may look at its own surroundings for a while.
    if (definition->attach) {
        uint32_t attachError = definition->attach();
        if (attachError != ERROR_SUCCESS) {
            error = attachError;
            return 0;
        }
    }
    std::lock_guard guard(registry().lock);
    ModuleHandle handle = registry().nextHandle++;
    registry().loaded[handle] = LoadedModule{key, definition, 1};
    error = ERROR_SUCCESS;
    return handle;
}

ProcAddress GetProcAddress(ModuleHandle module, const std::string& name)
{
    std::lock_guard guard(registry().lock);
    auto found = registry().loaded.find(module);
    if (found == registry().loaded.end())
        return nullptr;
    const auto& entries = found->second.definition->entryPoints;
    auto entry = entries.find(name);
    return entry == entries.end() ? nullptr : entry->second;
}

bool FreeLibrary(ModuleHandle module)
{
    std::shared_ptr<const ModuleDefinition> detaching;
    {
        std::lock_guard guard(registry().lock);
        auto found = registry().loaded.find(module);
        if (found == registry().loaded.end())
            return false;
        if (--found->second.references > 0)
            return true;
        detaching = found->second.definition;
        registry().loaded.erase(found);
    }
    if (detaching->detach)
        detaching->detach();
    return true;
}

size_t LoadedHandles()
{
    std::lock_guard guard(registry().lock);
    size_t count = 0;
    for (const auto& [handle, module] : registry().loaded)
        count += module.references;
    return count;
}

} // namespace LibraryLoader
