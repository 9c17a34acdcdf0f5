#include "app/EngineTestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <iostream>
#include <thread>

namespace Tarvent::VirtualChannel::TestSupport {

RunningEngine::RunningEngine(const std::vector<std::string>& env)
    : engine_(std::make_unique<EngineProcess>(engineBinary(), dir_.path(), env))
{
    connect();
}

RunningEngine::RunningEngine(const std::vector<std::string>& argv, const std::vector<std::string>& env)
    : engine_(std::make_unique<EngineProcess>(argv, dir_.path(), env))
{
    connect();
}

void RunningEngine::connect()
{
    if (const auto port = engine_->waitForPort()) {
        client_ = std::make_unique<CitrixTestClient>(*port);
        // A wait that times out may be the engine hanging: its stacks tell.
        client_->setTimeoutObserver([this](const std::string& awaited) {
            engine_->dumpThreads("no " + awaited + " arrived");
        });
    }
}

bool RunningEngine::reconnect()
{
    if (client_) {
        client_->channel().reset();
    }
    client_.reset();
    connect();
    return ready();
}

int RunningEngine::startWithAccount(const std::string& user, const std::string& password)
{
    const Message started = request(stackStart(), std::chrono::seconds(30));
    if (started.sipstackstatusanswer().status() != Proto::SipStackStatusAnswer::RUNNING) {
        return -1;
    }
    const Message created = request(createAccount(user, password));
    const auto& response = created.createaccountanswer().objectidresponse();
    if (response.ack().statuscode() != Proto::Ack::SUCCESS) {
        return -1;
    }
    const int accountId = response.objectid();
    const auto registered = client_->notification(
        [accountId](const Message& m) {
            return m.has_accountregstatechangednotification() &&
                   m.accountregstatechangednotification().accountid() == accountId &&
                   m.accountregstatechangednotification().isconnected();
        },
        std::chrono::seconds(15));
    return registered ? accountId : -1;
}

Message RunningEngine::request(const Message& message, std::chrono::milliseconds timeout)
{
    return client_->request(message, timeout).value_or(Message());
}

Proto::Ack RunningEngine::ack(const Message& message)
{
    return CitrixTestClient::ackOf(request(message));
}

std::optional<int> RunningEngine::terminate(std::chrono::milliseconds timeout)
{
    engine_->process().signal(SIGTERM);
    const std::optional<int> status = engine_->process().waitFor(timeout);
    if (!status) {
        engine_->dumpThreads("it did not end within " + std::to_string(timeout.count()) + " ms of SIGTERM");
    }
    return status;
}

std::optional<std::chrono::steady_clock::time_point> RunningEngine::waitForLog(const std::string& text,
                                                                               std::chrono::milliseconds timeout,
                                                                               int occurrence)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const std::string log = engine_->log();
        // Taken after the read: the line was written by now, never later.
        const auto now = std::chrono::steady_clock::now();
        int found = 0;
        for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size())) {
            ++found;
        }
        if (found >= occurrence) {
            return now;
        }
        if (now > deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::optional<IdleDelay> idleShutdownAfter(RunningEngine& engine, const Message& message, int occurrence)
{
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    const auto sent = std::chrono::steady_clock::now();
    const std::optional<Message> answer = engine.client().request(message, std::chrono::seconds(30));
    const auto answered = std::chrono::steady_clock::now();
    if (!answer) {
        return std::nullopt;
    }
    const auto shutdown = engine.waitForLog(kIdleShutdownLine, kIdlePeriod * 2 + std::chrono::seconds(5), occurrence);
    if (!shutdown) {
        return std::nullopt;
    }
    return IdleDelay{duration_cast<milliseconds>(*shutdown - sent), duration_cast<milliseconds>(*shutdown - answered)};
}

void expectOnePeriod(const std::optional<IdleDelay>& delay, const char* after)
{
    ASSERT_TRUE(delay) << "no idle shutdown after " << after;
    EXPECT_GE(delay->afterSend, kIdlePeriod) << after;
    EXPECT_LE(delay->afterAnswer, kIdlePeriod + kIdleMargin) << after;
    std::cout << "idle shutdown after " << after << ": " << delay->afterSend.count() << " ms after the send, "
              << delay->afterAnswer.count() << " ms after the answer" << std::endl;
}

Message appStart(int protocolVersion)
{
    Message message;
    message.mutable_appstartaction()->set_appversion("softphone e2e");
    message.mutable_appstartaction()->set_protocolversion(protocolVersion);
    return message;
}

Message stackStart()
{
    Message message;
    message.mutable_sipstackstartaction()->set_useragent("ovra-e2e");
    return message;
}

Message stackStop()
{
    Message message;
    message.mutable_sipstackstopaction();
    return message;
}

Message stackQuery()
{
    Message message;
    message.mutable_sipstackstatusquery();
    return message;
}

Message createAccount(const std::string& user, const std::string& password)
{
    Message message;
    auto& account = *message.mutable_createaccountaction();
    account.set_username(user);
    account.set_realm("127.0.0.1");
    account.set_password(password);
    account.set_transport("udp");
    return message;
}

}  // namespace Tarvent::VirtualChannel::TestSupport
