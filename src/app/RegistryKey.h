#pragma once

#include <functional>
#include <string>

namespace Tarvent::VirtualChannel {

// The registry roots the engine writes below.
enum class RegistryRoot {
    LocalMachine,
};

// "HKEY_LOCAL_MACHINE" for LocalMachine.
const char* registryRootName(RegistryRoot root);

// One open key of the engine's registry, a tree of files below the program
// data folder (see ServicePaths): each key is a folder named after its path
// (the backslashes of a key path separate folders), each value a file named
// after the value that holds its text and nothing else. A reader such as the
// channel driver only ever sees a whole value: values are written to a
// temporary file and renamed into place.
// Move-only; one thread at a time.
class RegistryKey {
public:
    // Creates the key below `root` (with every key above it), or opens it
    // when it exists. The registry lives in the program data folder of this
    // moment's environment. Throws std::runtime_error "Failed to create
    // registry key: result=<errno>; subKey=<subKey>".
    static RegistryKey create(RegistryRoot root, const char* subKey);

    RegistryKey(RegistryKey&& other) noexcept = default;
    RegistryKey& operator=(RegistryKey&& other) noexcept = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() = default;

    // Writes (or overwrites) a string value. Throws std::runtime_error
    // "Failed to set registry value: name=\"<name>\"; result=<errno>".
    void setString(const char* name, const char* value) const;

    // The text of a string value into `value`; false when the key has no
    // such value. Throws std::runtime_error "Failed to read registry value:
    // name=\"<name>\"; result=<errno>".
    bool getString(const char* name, std::string& value) const;

    // Removes a value; false when the key had no such value. Throws
    // std::runtime_error "Failed to delete registry value:
    // name=\"<name>\"; result=<errno>".
    bool deleteValue(const char* name) const;

    // The key's folder.
    const std::string& folder() const { return folder_; }

private:
    explicit RegistryKey(std::string folder) : folder_(std::move(folder)) {}

    // 0 when `name` can be a value of this key, else the errno to report.
    int valueError(const std::string& name) const;
    // Runs `operation` (which returns 0 or an errno) on the file of value
    // `name`; false when there is no such value. Failures are thrown as
    // "Failed to <verb> registry value: ...".
    bool onExistingValue(const char* name, const char* verb,
                         const std::function<int(const std::string& path)>& operation) const;

    std::string folder_;
};

}  // namespace Tarvent::VirtualChannel
