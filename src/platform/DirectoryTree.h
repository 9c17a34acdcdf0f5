#pragma once

#include <string>

namespace Tarvent::VirtualChannel {

// Creates `path` and every missing folder above it (mode 0755). A folder that
// exists already counts as success. Returns 0, or the errno of the step that
// failed (ENOTDIR or EEXIST when a plain file stands in the way). Any thread.
int createDirectoryTree(const std::string& path);

// 0 when `path` is a folder this process may create files in, else the errno
// that says why not (ENOENT, ENOTDIR, EACCES, EROFS, ...). Any thread.
int checkWritableDirectory(const std::string& path);

}  // namespace Tarvent::VirtualChannel
