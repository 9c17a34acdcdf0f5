#pragma once

#include <string>
#include <vector>

namespace Tarvent::VirtualChannel {

// The separator between the components of a path.
constexpr char kPathSeparator = '/';

// Creates the last component of `path`; its parent must exist. Anything that
// exists under that name already counts as success (also a plain file: that
// it is no folder shows when it is opened). Any thread.
bool createDirectory(const std::string& path);

// Whether `path` names a folder (or a link to one). Any thread.
bool directoryExists(const std::string& path);

enum class ListResult {
    Ok,          // `names` holds every entry that is not a directory
    NotFound,    // the folder does not exist; `names` is empty
    OpenFailed,  // the folder exists but cannot be read
    ReadFailed,  // the listing broke off with an error
};

// The names of the entries of `folder` that are not directories (no "." or
// ".."), in the order the file system gives them. Any thread.
ListResult listFiles(const std::string& folder, std::vector<std::string>& names);

// The folder that holds the running executable, without a trailing separator;
// empty when it cannot be found. Any thread.
std::string executableFolder();

}  // namespace Tarvent::VirtualChannel
