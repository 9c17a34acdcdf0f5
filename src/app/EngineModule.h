#pragma once

#include <string>

#include "app/EngineEntry.h"

namespace Tarvent::VirtualChannel {

// The loaded engine module. The module stays mapped until the process ends
// (its singletons and static objects are torn down by the process exit, as
// they would be in the executable itself). Move-only; one thread at a time.
class EngineModule {
public:
    // Loads the module at `path` and resolves its entry point. Throws
    // std::runtime_error "Failed to load engine module: <loader's reason>".
    static EngineModule load(const std::string& path);

    EngineModule(EngineModule&& other) noexcept;
    EngineModule& operator=(EngineModule&& other) noexcept;
    EngineModule(const EngineModule&) = delete;
    EngineModule& operator=(const EngineModule&) = delete;
    ~EngineModule();

    EngineEntry entry() const { return entry_; }

private:
    EngineModule(void* handle, EngineEntry entry) : handle_(handle), entry_(entry) {}

    void* handle_ = nullptr;
    EngineEntry entry_ = nullptr;
};

}  // namespace Tarvent::VirtualChannel
