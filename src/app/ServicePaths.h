#pragma once

#include <string>

namespace Tarvent::VirtualChannel {

// The service's fixed names and the folders it keeps below the program data
// folder. Pure functions; any thread.

constexpr const char* kServiceName = "TARVENT OVRA";
constexpr const char* kServiceDescription = "TARVENT Orvalend Media Engine";
// The company folder inside the program data folder, and the engine's
// working directory inside that.
constexpr const char* kCompanyFolder = "TARVENT";
constexpr const char* kWorkingFolder = "OVRA";
// Inside the company folder: one folder per registry root, one below it per key.
constexpr const char* kRegistryFolder = "registry";
// Inside the working directory.
constexpr const char* kLogFolder = "log";
constexpr const char* kRecordsFolder = "records";

// <programData>/TARVENT/OVRA
std::string workingDirectory(const std::string& programData);
// <programData>/TARVENT/registry
std::string registryFolder(const std::string& programData);

// Creates the working directory with its log and records folders, and every
// missing folder above it. Returns 0 or the errno of the first failure.
int createWorkingDirectory(const std::string& path);

}  // namespace Tarvent::VirtualChannel
