#pragma once

namespace Tarvent::VirtualChannel {

// Puts /dev/null on each of the descriptors 0, 1 and 2 that is closed, so
// that none of the process's own files or sockets is given one of those
// numbers: code that writes to stdout or stderr, or that closes descriptor 0
// believing it its own (libsoundio's ALSA backend does after a failed start),
// then meets /dev/null and nothing of the engine's. Returns 0, or the errno
// of the first descriptor that could not be filled. Any thread; meant for the
// start of main, before other threads open files.
int keepStandardDescriptorsOpen();

}  // namespace Tarvent::VirtualChannel
