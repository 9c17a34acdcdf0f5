#include "support/TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace Tarvent::VirtualChannel::TestSupport {

TempDir::TempDir(const std::string& prefix)
{
    std::string templ = "/tmp/" + prefix + "-XXXXXX";
    std::vector<char> buffer(templ.begin(), templ.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + templ);
    }
    path_ = buffer.data();
}

TempDir::~TempDir()
{
    if (std::getenv("OVRA_KEEP_TEST_DIRS") != nullptr) {
        return;
    }
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::file(const std::string& name) const
{
    return path_ + "/" + name;
}

std::string TempDir::makeDir(const std::string& name) const
{
    const std::string dir = file(name);
    std::filesystem::create_directories(dir);
    return dir;
}

std::string TempDir::readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace Tarvent::VirtualChannel::TestSupport
