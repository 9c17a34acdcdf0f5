#pragma once

#include <string>

namespace linphone {
class CallParams;
}

namespace Tarvent::VirtualChannel {

// The library records a call only into the record file named in the call's
// parameters before it is placed or answered, and the conference only into
// a file named when its recording starts. These are such files, fresh names
// in a spool folder inside the stack's private folder, so that a recorder
// can record any call later (SipRecordingSources takes each finished piece
// from there for the recorders' own files).
// Core thread only (call parameters belong to the Core).
class CallRecordFiles {
public:
    // Names a fresh spool file as the record file of `params`. Throws SipError
    // when the spool folder can't be made. Returns the file's path.
    static std::string assign(linphone::CallParams& params);
    // A fresh spool file name starting with `prefix` (no file is made).
    // Throws SipError when the spool folder can't be made.
    static std::string newSpoolFile(const std::string& prefix);
    // Ends with a slash.
    static std::string spoolFolder();
};

}  // namespace Tarvent::VirtualChannel
