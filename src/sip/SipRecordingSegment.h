#pragma once

#include <memory>
#include <string>

#include "platform/RandomAccessFile.h"
#include "sip/SipWavFile.h"

namespace Tarvent::VirtualChannel {

// A finished piece of a recording the library made: a WAV file that is open
// and already has no name, so that it lives exactly as long as somebody
// still has to copy it, whatever happens to the folder it was in.
// take() on the core thread (cheap: it opens and unlinks); reader() and
// destruction on any thread, several readers at once.
class SipRecordingSegment {
public:
    // The file the library finished at `path`, or null when it made none.
    // Throws SipError when it exists but can't be opened.
    static std::shared_ptr<SipRecordingSegment> take(const std::string& path);

    // Reads the whole file from its start; each reader keeps its own place.
    // The segment must outlive the reader.
    SipWavFile::Reader reader() const;

    const std::string& name() const { return name_; }

    // Use take(); `file` is open, `name` names it in errors.
    SipRecordingSegment(RandomAccessFile file, std::string name);

private:
    const RandomAccessFile file_;
    const std::string name_;
};

}  // namespace Tarvent::VirtualChannel
