#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

#include "app/AppTestSupport.h"
#include "app/PortPublication.h"
#include "app/RegistryKey.h"
#include "logging/TempDir.h"

namespace Tarvent::VirtualChannel {
namespace {

using TestSupport::readFile;
using TestSupport::ScopedEnvironment;
using TestSupport::TempDir;
using TestSupport::writeFile;

constexpr const char* kKey = "Software\\Citrix\\ICA Client\\Engine\\Configuration\\Advanced\\Modules\\VDOVRA";

class RegistryKeyTest : public ::testing::Test {
protected:
    TempDir dir;
    ScopedEnvironment programData{"OVRA_PROGRAM_DATA", dir.path()};
    const std::string keyFolder = dir.path() +
        "/TARVENT/registry/HKEY_LOCAL_MACHINE/Software/Citrix/ICA Client/Engine/Configuration/Advanced/Modules/VDOVRA";

    std::string errorOf(const std::function<void()>& action)
    {
        try {
            action();
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "(no error)";
    }
};

TEST_F(RegistryKeyTest, ValueIsAFileOfItsTextBelowTheKeyPathFolders)
{
    const RegistryKey key = RegistryKey::create(RegistryRoot::LocalMachine, kKey);
    EXPECT_EQ(key.folder(), keyFolder);
    key.setString("Port", "50123");
    EXPECT_EQ(readFile(keyFolder + "/Port"), "50123");

    // Creating an existing key opens it: what it holds stays.
    writeFile(keyFolder + "/Other", "kept");
    const RegistryKey again = RegistryKey::create(RegistryRoot::LocalMachine, kKey);
    again.setString("Port", "8");
    EXPECT_EQ(readFile(keyFolder + "/Port"), "8");
    EXPECT_EQ(readFile(keyFolder + "/Other"), "kept");
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(keyFolder)) {
        ++files;
    }
    EXPECT_EQ(files, 2U);
}

TEST_F(RegistryKeyTest, ReaderNeverSeesAPartialValue)
{
    const RegistryKey key = RegistryKey::create(RegistryRoot::LocalMachine, kKey);
    key.setString("Port", "1");
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!done) {
            const std::string text = readFile(keyFolder + "/Port");
            if (text != "1" && text != "65535") {
                ++torn;
            }
        }
    });
    for (int i = 0; i < 300; ++i) {
        key.setString("Port", i % 2 == 0 ? "65535" : "1");
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}

TEST_F(RegistryKeyTest, FailuresCarryTheErrnoInTheirTexts)
{
    // A plain file where the company folder should be: nothing can go below.
    writeFile(dir.file("TARVENT"), "");
    EXPECT_EQ(errorOf([] { RegistryKey::create(RegistryRoot::LocalMachine, kKey); }),
              std::string("Failed to create registry key: result=20; subKey=") + kKey);
    std::filesystem::remove(dir.file("TARVENT"));

    const RegistryKey key = RegistryKey::create(RegistryRoot::LocalMachine, kKey);
    std::filesystem::create_directory(keyFolder + "/Port");
    EXPECT_EQ(errorOf([&] { key.setString("Port", "50123"); }),
              "Failed to set registry value: name=\"Port\"; result=21");
}

TEST_F(RegistryKeyTest, NamesThatWouldLeaveTheKeyAreRefused)
{
    EXPECT_EQ(errorOf([] { RegistryKey::create(RegistryRoot::LocalMachine, "Software\\..\\..\\x"); }),
              "Failed to create registry key: result=22; subKey=Software\\..\\..\\x");
    EXPECT_EQ(errorOf([] { RegistryKey::create(RegistryRoot::LocalMachine, "a/b"); }),
              "Failed to create registry key: result=22; subKey=a/b");
    const RegistryKey key = RegistryKey::create(RegistryRoot::LocalMachine, "Software");
    EXPECT_EQ(errorOf([&] { key.setString("../Port", "1"); }),
              "Failed to set registry value: name=\"../Port\"; result=22");
    EXPECT_FALSE(std::filesystem::exists(dir.file("TARVENT/registry/HKEY_LOCAL_MACHINE/Port")));
}

TEST_F(RegistryKeyTest, ValuesAreReadBackAndDeleted)
{
    const RegistryKey key = RegistryKey::create(RegistryRoot::LocalMachine, kKey);
    std::string value = "stale";
    EXPECT_FALSE(key.getString("Port", value));
    key.setString("Port", "50123");
    ASSERT_TRUE(key.getString("Port", value));
    EXPECT_EQ(value, "50123");
    EXPECT_TRUE(key.deleteValue("Port"));
    EXPECT_FALSE(std::filesystem::exists(keyFolder + "/Port"));
    EXPECT_FALSE(key.deleteValue("Port"));
    EXPECT_EQ(errorOf([&] { key.deleteValue(".."); }), "Failed to delete registry value: name=\"..\"; result=22");
    // A value that is not a file cannot be read.
    std::filesystem::create_directory(keyFolder + "/Folder");
    EXPECT_EQ(errorOf([&] { key.getString("Folder", value); }), "Failed to read registry value: name=\"Folder\"; result=21");
}

TEST_F(RegistryKeyTest, APortIsWithdrawnOnlyWhileTheValueStillHoldsIt)
{
    PortPublication::publish(50123);
    EXPECT_EQ(readFile(keyFolder + "/Port"), "50123");
    // Another engine has published its port since: it stays.
    EXPECT_FALSE(PortPublication::withdraw(50124));
    EXPECT_EQ(readFile(keyFolder + "/Port"), "50123");
    EXPECT_TRUE(PortPublication::withdraw(50123));
    EXPECT_FALSE(std::filesystem::exists(keyFolder + "/Port"));
    EXPECT_FALSE(PortPublication::withdraw(50123));
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
