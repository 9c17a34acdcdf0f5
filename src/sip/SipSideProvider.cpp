#include "sip/SipSideProvider.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <utility>

#include <belle-sip/belle-sip.h>
#include <linphone++/linphone.hh>

#include "logging/Logger.h"
#include "sip/SipError.h"
#include "sip/SipLayer.h"
#include "sip/SipShutdownHook.h"

namespace Tarvent::VirtualChannel {

namespace {

// Deadlines are looked at this often while requests are in flight.
constexpr std::chrono::milliseconds kSweepPeriod{250};
constexpr int kMaxForwards = 70;
// Every address of the machine, IPv4 too, as the Core's own listening points.
const char* const kAnyAddress = "::0";
const char* const kTransports[] = {"UDP", "TCP"};

template <class Event, void (SipSideProvider::*Handler)(const Event*)>
void dispatch(void* context, const Event* event)
{
    try {
        (static_cast<SipSideProvider*>(context)->*Handler)(event);
    } catch (const std::exception& error) {
        logError("Failed to handle a SIP event of the engine's own requests: what=\"%s\"", error.what());
    } catch (...) {
        logError("Failed to handle a SIP event of the engine's own requests: what=\"unknown\"");
    }
}

// Holds a belle-sip object for the scope (and drops it then).
class Held {
public:
    explicit Held(void* object) : object_(object) { belle_sip_object_ref(object_); }
    ~Held() { belle_sip_object_unref(object_); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

private:
    void* const object_;
};

}  // namespace

SipSideProvider::SipSideProvider() : sweeper_([this]() { sweep(); })
{
    belle_sip_listener_callbacks_t callbacks{};
    callbacks.process_response_event = &dispatch<belle_sip_response_event_t, &SipSideProvider::onResponse>;
    callbacks.process_timeout = &dispatch<belle_sip_timeout_event_t, &SipSideProvider::onTimeout>;
    callbacks.process_io_error = &dispatch<belle_sip_io_error_event_t, &SipSideProvider::onIoError>;
    callbacks.process_transaction_terminated =
        &dispatch<belle_sip_transaction_terminated_event_t, &SipSideProvider::onTerminated>;
    listener_ = belle_sip_listener_create_from_callbacks(&callbacks, this);
}

SipSideProvider::~SipSideProvider()
{
    // Attached still, the Core is gone without its shutdown (process exit):
    // its stack went with it, and what is left here goes unreleased.
    belle_sip_object_unref(listener_);
}

void SipSideProvider::attach(linphone::Core& core)
{
    detach();
    const SipLayer layer = SipLayer::of(core);
    if (layer.stack == nullptr) {
        OVRA_THROW_SIP_ERROR(-1, "SipSideProvider::attach", "The SIP layer of the stack was not found");
    }
    std::vector<belle_sip_listening_point_t*> points;
    for (const char* const transport : kTransports) {
        belle_sip_listening_point_t* const point = belle_sip_stack_create_listening_point(
            layer.stack, kAnyAddress, BELLE_SIP_LISTENING_POINT_RANDOM_PORT, transport);
        if (point == nullptr) {
            for (belle_sip_listening_point_t* const made : points) {
                belle_sip_object_unref(made);
            }
            OVRA_THROW_SIP_ERROR(-1, "SipSideProvider::attach",
                                 std::string("Failed to open a SIP listening point: transport=") + transport);
        }
        belle_sip_object_ref(point);
        points.push_back(point);
    }
    provider_ = belle_sip_stack_create_provider(layer.stack, nullptr);
    for (belle_sip_listening_point_t* const point : points) {
        belle_sip_provider_add_listening_point(provider_, point);
    }
    listeningPoints_ = std::move(points);
    belle_sip_provider_add_sip_listener(provider_, listener_);
    core.addListener(std::make_shared<SipShutdownHook>([weak = weak_from_this()]() {
        if (const std::shared_ptr<SipSideProvider> self = weak.lock()) {
            self->detach();
        }
    }));
    logDebug("Engine's own SIP provider attached: udpPort=%d; tcpPort=%d",
             belle_sip_listening_point_get_port(listeningPoints_[0]),
             belle_sip_listening_point_get_port(listeningPoints_[1]));
}

void SipSideProvider::detach()
{
    if (provider_ == nullptr) {
        return;
    }
    belle_sip_provider_remove_sip_listener(provider_, listener_);
    sweeper_.stop();
    std::vector<Request> requests;
    requests.swap(requests_);
    for (Request& request : requests) {
        belle_sip_transaction_t* const base = BELLE_SIP_TRANSACTION(request.transaction);
        if (belle_sip_transaction_get_state(base) != BELLE_SIP_TRANSACTION_TERMINATED) {
            belle_sip_transaction_terminate(base);
        }
        belle_sip_object_unref(request.transaction);
    }
    for (belle_sip_listening_point_t* const point : listeningPoints_) {
        belle_sip_provider_remove_listening_point(provider_, point);
        belle_sip_object_unref(point);
    }
    listeningPoints_.clear();
    belle_sip_object_unref(provider_);
    provider_ = nullptr;
}

belle_sip_main_loop_t* SipSideProvider::mainLoop() const
{
    return provider_ != nullptr ? belle_sip_stack_get_main_loop(belle_sip_provider_get_sip_stack(provider_)) : nullptr;
}

belle_sip_request_t* SipSideProvider::createRequest(const char* method, const std::string& target,
                                                    const std::string& from, unsigned cseq) const
{
    if (provider_ == nullptr) {
        return nullptr;
    }
    belle_sip_uri_t* const uri = belle_sip_uri_parse(target.c_str());
    belle_sip_header_from_t* const fromHeader = belle_sip_header_from_create2(from.c_str(), BELLE_SIP_RANDOM_TAG);
    belle_sip_header_to_t* const toHeader = belle_sip_header_to_create2(target.c_str(), nullptr);
    if (uri == nullptr || fromHeader == nullptr || toHeader == nullptr) {
        // Made without an owner: freed by the first reference let go.
        for (void* const made : {static_cast<void*>(uri), static_cast<void*>(fromHeader), static_cast<void*>(toHeader)}) {
            if (made != nullptr) {
                belle_sip_object_unref(belle_sip_object_ref(made));
            }
        }
        return nullptr;
    }
    return belle_sip_request_create(uri, method, belle_sip_provider_create_call_id(provider_),
                                    belle_sip_header_cseq_create(cseq, method), fromHeader, toHeader,
                                    belle_sip_header_via_new(), kMaxForwards);
}

std::string SipSideProvider::callIdOf(const belle_sip_request_t* request)
{
    const auto* const header = belle_sip_message_get_header_by_type(request, belle_sip_header_call_id_t);
    const char* const value = header != nullptr ? belle_sip_header_call_id_get_call_id(header) : nullptr;
    return value != nullptr ? value : "";
}

bool SipSideProvider::send(belle_sip_request_t* request, const std::string& nextHop,
                           std::chrono::milliseconds timeout, Outcome outcome)
{
    const Held heldRequest(request);
    if (provider_ == nullptr) {
        return false;
    }
    belle_sip_uri_t* hop = nullptr;
    if (!nextHop.empty()) {
        hop = belle_sip_uri_parse(nextHop.c_str());
        if (hop == nullptr) {
            logError("Invalid next hop for a SIP request: hop=\"%s\"", nextHop.c_str());
            return false;
        }
    }
    const std::unique_ptr<Held> heldHop = hop != nullptr ? std::make_unique<Held>(hop) : nullptr;
    belle_sip_client_transaction_t* const transaction = belle_sip_provider_create_client_transaction(provider_, request);
    belle_sip_object_ref(transaction);
    requests_.push_back(Request{transaction, std::chrono::steady_clock::now() + timeout, std::move(outcome), 0});
    // The transaction may end inside the send (a refused connection): its
    // end is kept for the next sweep, and a failed send reports nothing.
    sending_ = transaction;
    const int result = belle_sip_client_transaction_send_request_to(transaction, hop);
    sending_ = nullptr;
    if (result != 0) {
        take(transaction);
        belle_sip_object_unref(transaction);
        return false;
    }
    if (!sweeper_.running()) {
        sweeper_.start(mainLoop(), kSweepPeriod, true);
    }
    return true;
}

std::optional<SipSideProvider::Request> SipSideProvider::take(const void* transaction)
{
    const auto found = std::find_if(requests_.begin(), requests_.end(),
                                    [&](const Request& request) { return request.transaction == transaction; });
    if (found == requests_.end()) {
        return std::nullopt;
    }
    Request request = std::move(*found);
    requests_.erase(found);
    if (requests_.empty()) {
        sweeper_.stop();
    }
    return request;
}

void SipSideProvider::report(Request request, int status)
{
    belle_sip_object_unref(request.transaction);
    try {
        request.outcome(status);
    } catch (const std::exception& error) {
        logError("Failed to handle the answer to a SIP request of the engine: what=\"%s\"", error.what());
    } catch (...) {
        logError("Failed to handle the answer to a SIP request of the engine: what=\"unknown\"");
    }
}

void SipSideProvider::finish(const void* transaction, int status)
{
    if (transaction == sending_) {
        for (Request& request : requests_) {
            if (request.transaction == transaction) {
                request.status = status;
                request.deadline = std::chrono::steady_clock::time_point::min();
            }
        }
        return;
    }
    if (std::optional<Request> request = take(transaction)) {
        report(std::move(*request), status);
    }
}

void SipSideProvider::sweep()
{
    const auto now = std::chrono::steady_clock::now();
    std::vector<const void*> due;
    for (const Request& request : requests_) {
        if (now >= request.deadline) {
            due.push_back(request.transaction);
        }
    }
    for (const void* const transaction : due) {
        std::optional<Request> request = take(transaction);
        if (!request) {
            continue;
        }
        const int status = request->status != 0 ? request->status : kNoAnswer;
        // Given up before its end: nothing more of it is wanted on the wire
        // (its end is reported to the listener, which has let go of it).
        belle_sip_transaction_t* const base = BELLE_SIP_TRANSACTION(request->transaction);
        if (belle_sip_transaction_get_state(base) != BELLE_SIP_TRANSACTION_TERMINATED) {
            belle_sip_transaction_terminate(base);
        }
        report(std::move(*request), status);
    }
}

void SipSideProvider::onResponse(const belle_sip_response_event_t* event)
{
    belle_sip_response_t* const response = belle_sip_response_event_get_response(event);
    belle_sip_client_transaction_t* const transaction = belle_sip_response_event_get_client_transaction(event);
    const int status = response != nullptr ? belle_sip_response_get_status_code(response) : 0;
    if (transaction != nullptr && status >= 200) {
        finish(transaction, status);
    }
}

void SipSideProvider::onTimeout(const belle_sip_timeout_event_t* event)
{
    finish(belle_sip_timeout_event_get_client_transaction(event), kNoAnswer);
}

void SipSideProvider::onIoError(const belle_sip_io_error_event_t* event)
{
    belle_sip_object_t* const source = belle_sip_io_error_event_get_source(event);
    if (source != nullptr && BELLE_SIP_OBJECT_IS_INSTANCE_OF(source, belle_sip_client_transaction_t)) {
        finish(source, kTransportFailed);
    }
}

void SipSideProvider::onTerminated(const belle_sip_transaction_terminated_event_t* event)
{
    // Ended without a final answer, a time-out or a transport error told.
    if (belle_sip_client_transaction_t* const transaction =
            belle_sip_transaction_terminated_event_get_client_transaction(event)) {
        finish(transaction, kTransportFailed);
    }
}

}  // namespace Tarvent::VirtualChannel
