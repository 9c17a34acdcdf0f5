#include "app/EngineTestSupport.h"

#include <csignal>

namespace Tarvent::VirtualChannel::TestSupport {

RunningEngine::RunningEngine(const std::vector<std::string>& env)
    : engine_(std::make_unique<EngineProcess>(engineBinary(), dir_.path(), env))
{
    if (const auto port = engine_->waitForPort()) {
        client_ = std::make_unique<CitrixTestClient>(*port);
    }
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
    return engine_->process().waitFor(timeout);
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
