#include "app/LaunchFailure.h"

#include <exception>
#include <memory>

#include "app/Application.h"
#include "app/PortPublication.h"
#include "app/ServicePaths.h"
#include "logging/FileAppender.h"
#include "logging/FileAppenderConfig.h"
#include "logging/Logger.h"
#include "platform/ProcessPaths.h"
#include "util/PathUtil.h"

namespace Tarvent::VirtualChannel {

namespace {

// The engine's own log, as its start would have opened it.
bool logFailure(const std::string& reason)
{
    const std::string working = workingDirectory(programDataFolder());
    if (createWorkingDirectory(working) != 0) {
        return false;
    }
    FileAppenderConfig config;
    config.directory = joinPath(working, kLogFolder);
    config.fileName = Application::kLogFileName;
    config.maxFileSize = Application::kMaxLogFileSize;
    config.maxFileCount = Application::kLogFileCount;
    try {
        Logger::instance().addAppender(std::make_unique<FileAppender>(config));
    } catch (const std::exception&) {
        return false;
    }
    logFatal("Failed to start application: %s", reason.c_str());
    Logger::instance().removeAllAppenders();
    return true;
}

}  // namespace

int reportLaunchFailure(const std::string& reason, int publishedPort, std::FILE* errorOutput)
{
    std::string withdrawFailure;
    if (publishedPort > 0) {
        try {
            PortPublication::withdraw(publishedPort);
        } catch (const std::exception& e) {
            withdrawFailure = e.what();
        }
    }
    logFailure(reason);
    std::fprintf(errorOutput, "Failed to start application: %s\n", reason.c_str());
    if (!withdrawFailure.empty()) {
        std::fprintf(errorOutput, "Failed to withdraw the published port: %s\n", withdrawFailure.c_str());
    }
    return 1;
}

}  // namespace Tarvent::VirtualChannel
