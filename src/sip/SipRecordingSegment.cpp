#include "sip/SipRecordingSegment.h"

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <utility>

#include "sip/SipError.h"

namespace Tarvent::VirtualChannel {

SipRecordingSegment::SipRecordingSegment(RandomAccessFile file, std::string name)
    : file_(std::move(file)), name_(std::move(name))
{
}

std::shared_ptr<SipRecordingSegment> SipRecordingSegment::take(const std::string& path)
{
    RandomAccessFile file;
    if (const int error = file.open(path, RandomAccessFile::Mode::ReadOnly)) {
        if (error == ENOENT) {
            return nullptr;
        }
        OVRA_THROW_SIP_ERROR(error, "SipRecordingSegment::take",
                             "Failed to open recording: file=\"" + path + "\"; error=\"" +
                                 std::generic_category().message(error) + "\"");
    }
    // The name goes at once: the library starts the next piece under it.
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    return std::make_shared<SipRecordingSegment>(std::move(file), path);
}

SipWavFile::Reader SipRecordingSegment::reader() const
{
    return SipWavFile::readerOf(file_, name_);
}

}  // namespace Tarvent::VirtualChannel
