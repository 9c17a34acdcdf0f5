#include "support/ProcessResources.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace Tarvent::VirtualChannel::TestSupport {

namespace {

// Entries of a /proc folder; -1 when it can't be listed.
int entries(const std::string& folder)
{
    std::error_code error;
    std::filesystem::directory_iterator it(folder, error);
    if (error) {
        return -1;
    }
    int count = 0;
    for (const std::filesystem::directory_iterator end; it != end; it.increment(error)) {
        if (error) {
            return -1;
        }
        ++count;
    }
    return count;
}

}  // namespace

std::optional<ProcessResources> ProcessResources::of(pid_t pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    ProcessResources resources;
    resources.descriptors = entries(proc + "/fd");
    resources.threads = entries(proc + "/task");
    std::ifstream status(proc + "/status");
    std::string line;
    bool rss = false;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            resources.rssKiB = std::stol(line.substr(6));
            rss = true;
        }
    }
    if (resources.descriptors < 0 || resources.threads < 0 || !rss) {
        return std::nullopt;
    }
    return resources;
}

std::string ProcessResources::text() const
{
    return "fds=" + std::to_string(descriptors) + " threads=" + std::to_string(threads) +
           " rss=" + std::to_string(rssKiB) + " KiB";
}

}  // namespace Tarvent::VirtualChannel::TestSupport
