#include "sip/SipCoreThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include <linphone++/linphone.hh>

#include "sip/SipError.h"

namespace Tarvent::VirtualChannel {
namespace {

using CorePtr = SipCoreThread::CorePtr;

CorePtr makeCore()
{
    linphone::LoggingService::get()->setLogLevelMask(0);
    const auto factory = linphone::Factory::get();
    auto core = factory->createCoreWithConfig(
        factory->createConfigFromString("[storage]\nuri=null\ncall_logs_db_uri=null\nzrtp_secrets_db_uri=null\n"),
        nullptr);
    core->enableAutoIterate(false);
    core->start();
    return core;
}

TEST(SipCoreThreadTest, RunsOperationsOnTheCoreThreadAndCarriesResultsBack)
{
    SipCoreThread thread(&makeCore);
    EXPECT_FALSE(thread.isCoreThread());

    const std::thread::id caller = std::this_thread::get_id();
    const std::thread::id coreId = thread.run([](const CorePtr& core) {
        EXPECT_TRUE(core);
        return std::this_thread::get_id();
    });
    EXPECT_NE(coreId, caller);

    // A nested run on the core thread runs inline (it would wait for itself otherwise).
    const int nested = thread.run([&](const CorePtr&) {
        EXPECT_TRUE(thread.isCoreThread());
        return thread.run([](const CorePtr& core) { return core->getMaxCalls() > 0 ? 42 : 0; });
    });
    EXPECT_EQ(nested, 42);
}

TEST(SipCoreThreadTest, CarriesExceptionsBackUnchanged)
{
    SipCoreThread thread(&makeCore);
    try {
        thread.run([](const CorePtr&) { OVRA_THROW_SIP_ERROR(7, "Core::invite", "Refused"); });
        FAIL() << "no SipError";
    } catch (const SipError& error) {
        EXPECT_EQ(error.status, 7);
        EXPECT_EQ(error.title, "Core::invite");
        EXPECT_EQ(error.reason, "Refused");
        EXPECT_NE(error.srcFile.find("SipCoreThreadTest.cpp"), std::string::npos);
        EXPECT_GT(error.srcLine, 0);
    }
    EXPECT_THROW(thread.run([](const CorePtr&) -> int { throw std::runtime_error("bad"); }), std::runtime_error);
    // The thread goes on after a failed operation.
    EXPECT_TRUE(thread.run([](const CorePtr& core) { return static_cast<bool>(core); }));
}

TEST(SipCoreThreadTest, FailedFactoryLeavesNothingAndTheNextStartWorks)
{
    std::thread::id factoryThread;
    EXPECT_THROW(SipCoreThread([&]() -> CorePtr {
                     factoryThread = std::this_thread::get_id();
                     CorePtr core = makeCore();  // destroyed on the way out
                     OVRA_THROW_SIP_ERROR(-1, "Core::setTransports", "no ports");
                 }),
                 SipError);
    EXPECT_NE(factoryThread, std::this_thread::get_id());
    EXPECT_THROW(SipCoreThread([]() { return CorePtr(); }), SipError);

    SipCoreThread thread(&makeCore);
    EXPECT_TRUE(thread.run([](const CorePtr& core) { return static_cast<bool>(core); }));
}

TEST(SipCoreThreadTest, SerialisesOperationsFromManyThreads)
{
    SipCoreThread thread(&makeCore);
    int counter = 0;  // touched only on the core thread
    std::atomic<int> wrongThread{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 8; ++t) {
        callers.emplace_back([&]() {
            for (int i = 0; i < 200; ++i) {
                thread.run([&](const CorePtr&) {
                    if (!thread.isCoreThread()) {
                        ++wrongThread;
                    }
                    ++counter;
                });
            }
        });
    }
    for (auto& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(wrongThread.load(), 0);
    EXPECT_EQ(thread.run([&](const CorePtr&) { return counter; }), 8 * 200);
}

TEST(SipCoreThreadTest, AShutdownAmidOperationsFromOtherThreadsLeavesNothingBehind)
{
    // Operations wake the waiting thread through the SIP stack's main loop,
    // which the shutdown destroys: none may reach it afterwards.
    for (int round = 0; round < 3; ++round) {
        SipCoreThread thread(&makeCore);
        std::atomic<int> done{0};
        std::vector<std::thread> callers;
        for (int t = 0; t < 4; ++t) {
            callers.emplace_back([&]() {
                try {
                    for (;;) {
                        thread.run([](const CorePtr&) {});
                        ++done;
                    }
                } catch (const SipError&) {
                    // refused once the shutdown began
                }
            });
        }
        while (done.load() < 20) {
            std::this_thread::yield();
        }
        thread.shutdown();
        for (auto& caller : callers) {
            caller.join();
        }
    }
}

TEST(SipCoreThreadTest, RefusesOperationsAfterShutdown)
{
    SipCoreThread thread(&makeCore);
    thread.shutdown();
    thread.shutdown();
    EXPECT_THROW(thread.run([](const CorePtr&) {}), SipError);
}

}  // namespace
}  // namespace Tarvent::VirtualChannel
