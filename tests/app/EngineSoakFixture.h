#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "app/EngineCalls.h"
#include "app/EngineTestSupport.h"
#include "support/BaresipFixture.h"
#include "support/KamailioFixture.h"
#include "support/PulseAudioFixture.h"

namespace Tarvent::VirtualChannel::TestSupport {

// The engine over its channel with its stack running and alice registered
// at a kamailio registrar that also knows bob, carol and dave (far ends,
// made on request), with a PulseAudio server for its sound devices.
class EngineSoakFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(engine_.ready()) << engine_.engine().console();
        ASSERT_TRUE(engine_.request(appStart(2)).has_appstartanswer());
        const Message started = engine_.request(stackStart(), std::chrono::seconds(30));
        ASSERT_EQ(started.sipstackstatusanswer().status(), Proto::SipStackStatusAnswer::RUNNING)
            << started.ShortDebugString();
        const Message created = engine_.request(createAccount("alice", "alicepw"));
        ASSERT_EQ(created.createaccountanswer().objectidresponse().ack().statuscode(), Proto::Ack::SUCCESS)
            << created.ShortDebugString();
        calls_.emplace(engine_, created.createaccountanswer().objectidresponse().objectid());
        ASSERT_TRUE(calls_->notification(&Message::has_accountregstatechangednotification)) << kamailio_->log();
    }

    void TearDown() override
    {
        if (engine_.engine().process().running()) {
            EXPECT_EQ(engine_.terminate(), 0) << engine_.engine().console();
        }
    }

    static std::unique_ptr<KamailioFixture> registrar()
    {
        return std::make_unique<KamailioFixture>(
            std::map<std::string, std::string>{
                {"alice", "alicepw"}, {"bob", "bobpw"}, {"carol", "carolpw"}, {"dave", "davepw"}},
            "127.0.0.1", 5060);
    }

    std::unique_ptr<BaresipFixture> farEnd(const std::string& user, bool autoAnswer = true) const
    {
        BaresipFixture::Options options;
        options.user = user;
        options.registrar = kamailio_.get();
        options.password = user + "pw";
        options.autoAnswer = autoAnswer;
        return std::make_unique<BaresipFixture>(options);
    }

    EngineCalls& calls() { return *calls_; }

    PulseAudioFixture pulse_;  // the devices exist before the engine's first Core
    std::unique_ptr<KamailioFixture> kamailio_ = registrar();
    RunningEngine engine_;
    std::optional<EngineCalls> calls_;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
