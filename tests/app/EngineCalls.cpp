#include "app/EngineCalls.h"

#include <algorithm>
#include <thread>

namespace Tarvent::VirtualChannel::TestSupport {

using Proto::Ack;

std::optional<Message> EngineCalls::notification(bool (Message::*has)() const, const Predicate& also,
                                                 std::chrono::milliseconds timeout)
{
    return engine_.client().notification([&](const Message& m) { return (m.*has)() && (!also || also(m)); },
                                         timeout);
}

std::optional<int> EngineCalls::callIdOf(const Message& m)
{
    switch (m.inner_case()) {
    case Message::kIncomingCallNotification:
        return m.incomingcallnotification().callid();
    case Message::kEarlyCallNotification:
        return m.earlycallnotification().callid();
    case Message::kConfirmedCallNotification:
        return m.confirmedcallnotification().callid();
    case Message::kTerminatedCallNotification:
        return m.terminatedcallnotification().callid();
    case Message::kHoldStateChangedNotification:
        return m.holdstatechangednotification().callid();
    case Message::kCallMediaStateNotification:
        return m.callmediastatenotification().callid();
    default:
        return std::nullopt;
    }
}

int EngineCalls::dial(const std::string& number)
{
    Message make;
    make.mutable_makecallaction()->set_accountid(accountId_);
    make.mutable_makecallaction()->set_phonenumber(number);
    const Message made = engine_.request(make);
    if (made.objectidresponse().ack().statuscode() != Ack::SUCCESS || !made.has_objectidresponse()) {
        return -1;
    }
    const int callId = made.objectidresponse().objectid();
    Message dial;
    dial.mutable_dialaction()->set_callid(callId);
    return engine_.ack(dial).statuscode() == Ack::SUCCESS ? callId : -1;
}

int EngineCalls::confirmedCall(const std::string& number)
{
    const int callId = dial(number);
    if (callId < 0 || !confirmed(callId) || !mediaActive(callId)) {
        return -1;
    }
    return callId;
}

bool EngineCalls::confirmed(int callId, std::chrono::milliseconds timeout)
{
    return notification(&Message::has_confirmedcallnotification,
                        [callId](const Message& m) { return m.confirmedcallnotification().callid() == callId; },
                        timeout)
        .has_value();
}

bool EngineCalls::mediaActive(int callId, std::chrono::milliseconds timeout)
{
    return notification(&Message::has_callmediastatenotification,
                        [callId](const Message& m) {
                            return m.callmediastatenotification().callid() == callId &&
                                   m.callmediastatenotification().mediastate() == 1;
                        },
                        timeout)
        .has_value();
}

bool EngineCalls::answer(int callId)
{
    Message answer;
    answer.mutable_answeraudioaction()->set_callid(callId);
    return engine_.ack(answer).statuscode() == Ack::SUCCESS && confirmed(callId);
}

bool EngineCalls::hold(int callId, bool hold, bool autoHoldOthers)
{
    Message request;
    auto& action = *request.mutable_callholdaction();
    action.set_accountid(accountId_);
    action.set_callid(callId);
    action.set_hold(hold);
    action.set_autoholdothers(autoHoldOthers);
    return engine_.ack(request).statuscode() == Ack::SUCCESS && holdReported(callId, hold);
}

bool EngineCalls::holdReported(int callId, bool isHold, std::chrono::milliseconds timeout)
{
    return notification(&Message::has_holdstatechangednotification,
                        [&](const Message& m) {
                            return m.holdstatechangednotification().callid() == callId &&
                                   m.holdstatechangednotification().ishold() == isHold;
                        },
                        timeout)
        .has_value();
}

bool EngineCalls::sendDtmf(int callId, const std::string& digit)
{
    Message dtmf;
    dtmf.mutable_dialdtmfaction()->set_callid(callId);
    dtmf.mutable_dialdtmfaction()->set_digit(digit);
    return engine_.ack(dtmf).statuscode() == Ack::SUCCESS;
}

bool EngineCalls::hangUp(int callId)
{
    Message hangUp;
    hangUp.mutable_hangupaction()->set_callid(callId);
    return engine_.ack(hangUp).statuscode() == Ack::SUCCESS && terminated(callId).has_value();
}

std::optional<Message> EngineCalls::terminated(int callId, std::chrono::milliseconds timeout)
{
    return notification(&Message::has_terminatedcallnotification,
                        [callId](const Message& m) { return m.terminatedcallnotification().callid() == callId; },
                        timeout);
}

bool EngineCalls::endsWithin(int callId, std::chrono::milliseconds span)
{
    const auto ended = [callId](const Message& m) {
        return m.has_terminatedcallnotification() && m.terminatedcallnotification().callid() == callId;
    };
    const auto deadline = std::chrono::steady_clock::now() + span;
    for (;;) {
        const auto& kept = engine_.client().kept();
        if (std::any_of(kept.begin(), kept.end(), ended)) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline || !alive()) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
}

EngineCalls::Traffic EngineCalls::traffic(int callId, std::chrono::milliseconds span)
{
    Message mos;
    mos.mutable_mosupdateaction()->set_callid(callId);
    engine_.request(mos);
    std::this_thread::sleep_for(span);
    const Message measured = engine_.request(mos);
    return {measured.mosupdateanswer().txpacketsdelta(), measured.mosupdateanswer().rxpacketsdelta()};
}

bool EngineCalls::alive()
{
    return engine_.engine().process().running() &&
           engine_.request(stackQuery(), std::chrono::seconds(5)).has_sipstackstatusanswer();
}

void EngineCalls::forget(int callId)
{
    engine_.client().discardKept([callId](const Message& m) { return callIdOf(m) == callId; });
}

}  // namespace Tarvent::VirtualChannel::TestSupport
