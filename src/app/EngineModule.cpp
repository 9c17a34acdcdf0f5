#include "app/EngineModule.h"

#include <dlfcn.h>

#include <stdexcept>
#include <utility>

namespace Tarvent::VirtualChannel {

namespace {

std::runtime_error loadFailure()
{
    const char* const reason = dlerror();
    return std::runtime_error(std::string("Failed to load engine module: ") +
                              (reason != nullptr ? reason : "unknown reason"));
}

}  // namespace

EngineModule EngineModule::load(const std::string& path)
{
    // Functions bound on first call: binding all of the media libraries'
    // functions now would cost most of what loading late saves (the module
    // itself is linked with no undefined symbol). Never unmapped, so that no
    // thread or exit handler of the engine can outlive its code.
    void* const handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) {
        throw loadFailure();
    }
    void* const symbol = dlsym(handle, kEngineEntrySymbol);
    if (symbol == nullptr) {
        const std::runtime_error failure = loadFailure();
        dlclose(handle);
        throw failure;
    }
    return EngineModule(handle, reinterpret_cast<EngineEntry>(symbol));
}

EngineModule::EngineModule(EngineModule&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), entry_(std::exchange(other.entry_, nullptr))
{
}

EngineModule& EngineModule::operator=(EngineModule&& other) noexcept
{
    if (this != &other) {
        if (handle_ != nullptr) {
            dlclose(handle_);
        }
        handle_ = std::exchange(other.handle_, nullptr);
        entry_ = std::exchange(other.entry_, nullptr);
    }
    return *this;
}

EngineModule::~EngineModule()
{
    if (handle_ != nullptr) {
        dlclose(handle_);
    }
}

}  // namespace Tarvent::VirtualChannel
