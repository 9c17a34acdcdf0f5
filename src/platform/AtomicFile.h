#pragma once

#include <string>

namespace Tarvent::VirtualChannel {

// Whole-file writes that a reader never sees half done: the content goes to a
// temporary file in the same folder (mode 0644), is flushed to disk, and only
// then takes the final name. Both return 0 or the errno of the step that
// failed; on failure the temporary file is gone and `path` is untouched.
// Any thread; two writers of one path must not overlap.

// Puts `content` at `path`, replacing whatever file was there.
int replaceFile(const std::string& path, const std::string& content);

// Puts `content` at `path` only when nothing exists there yet (EEXIST else).
int createFileExclusive(const std::string& path, const std::string& content);

// The whole content of the file at `path` into `content`; 0, or the errno
// (ENOENT when there is no such file).
int readWholeFile(const std::string& path, std::string& content);

// Removes the file at `path` in one step (a reader sees it whole or not at
// all); 0, or the errno (ENOENT when there is no such file).
int removeFile(const std::string& path);

}  // namespace Tarvent::VirtualChannel
