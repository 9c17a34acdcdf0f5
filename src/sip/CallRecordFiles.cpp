#include "sip/CallRecordFiles.h"

#include <atomic>
#include <filesystem>
#include <system_error>

#include <linphone++/linphone.hh>

#include "sip/SipError.h"

namespace Tarvent::VirtualChannel {

std::string CallRecordFiles::spoolFolder()
{
    // The stack's private folder is emptied at every start and stop, and so
    // takes forgotten spool files with it.
    std::string folder = linphone::Factory::get()->getDataDir(nullptr);
    if (!folder.empty() && folder.back() != '/') {
        folder += '/';
    }
    return folder + "records/";
}

std::string CallRecordFiles::newSpoolFile(const std::string& prefix)
{
    static std::atomic<unsigned> nextNumber{1};
    const std::string folder = spoolFolder();
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        OVRA_THROW_SIP_ERROR(error.value(), "CallRecordFiles",
                             "Failed to create folder " + folder + ": " + error.message());
    }
    return folder + prefix + std::to_string(nextNumber.fetch_add(1)) + ".wav";
}

std::string CallRecordFiles::assign(linphone::CallParams& params)
{
    const std::string path = newSpoolFile("call");
    params.setRecordFile(path);
    return path;
}

}  // namespace Tarvent::VirtualChannel
