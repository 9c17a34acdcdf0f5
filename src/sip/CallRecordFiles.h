#pragma once

#include <string>

namespace linphone {
class CallParams;
}

namespace Tarvent::VirtualChannel {

// The library records a call only into the record file named in the call's
// parameters before it is placed or answered. This gives every call such a
// file, in a spool folder inside the stack's private folder, so that a
// recorder can record any call later (SipAudioRecorder moves the recording
// into its own file when it stops).
// Core thread only (call parameters belong to the Core).
class CallRecordFiles {
public:
    // Names a fresh spool file as the record file of `params`. Throws SipError
    // when the spool folder can't be made. Returns the file's path.
    static std::string assign(linphone::CallParams& params);
    // Ends with a slash.
    static std::string spoolFolder();
};

}  // namespace Tarvent::VirtualChannel
