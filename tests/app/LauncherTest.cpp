#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "app/AppTestSupport.h"
#include "app/EarlyListener.h"
#include "app/EngineModule.h"
#include "logging/TempDir.h"
#include "support/ChannelTestClient.h"

namespace Tarvent::VirtualChannel {
namespace {

using TestSupport::readFile;
using TestSupport::ScopedEnvironment;
using TestSupport::TempDir;
using TestSupport::writeFile;

const std::string kPortFile =
    "/TARVENT/registry/HKEY_LOCAL_MACHINE/Software/Citrix/ICA Client/Engine/Configuration/Advanced/Modules/VDOVRA/Port";

TEST(EarlyListenerTest, PublishesThePortOfASocketClientsCanConnectTo)
{
    TempDir dir;
    const ScopedEnvironment programData{"OVRA_PROGRAM_DATA", dir.path()};

    const Socket listening = openEarlyListener();
    ASSERT_TRUE(listening.valid());
    EXPECT_EQ(std::to_string(listening.localPort()), readFile(dir.path() + kPortFile));
    EXPECT_TRUE(TestSupport::ChannelTestClient(listening.localPort()).connected());
}

TEST(EarlyListenerTest, KeepsTheSocketWhenThePortCannotBePublished)
{
    TempDir dir;
    // A file where the company folder belongs: no key can be created below it.
    writeFile(dir.path() + "/TARVENT", "not a folder");
    const ScopedEnvironment programData{"OVRA_PROGRAM_DATA", dir.path()};

    const Socket listening = openEarlyListener();
    EXPECT_TRUE(listening.valid());
    EXPECT_GT(listening.localPort(), 0);
}

std::string loadError(const std::string& path)
{
    try {
        EngineModule::load(path);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(loaded)";
}

TEST(EngineModuleTest, LoadFailuresNameTheLoadersReason)
{
    const std::string missing = loadError("/nonexistent/ovra_engine.so");
    EXPECT_EQ(0u, missing.find("Failed to load engine module: /nonexistent/ovra_engine.so")) << missing;
    // A library that loads but is not the engine.
    const std::string notEngine = loadError("libm.so.6");
    EXPECT_EQ(0u, notEngine.find("Failed to load engine module: ")) << notEngine;
    EXPECT_NE(std::string::npos, notEngine.find("ovraEngineMain")) << notEngine;
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
