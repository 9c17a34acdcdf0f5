#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sip/SipLoopTimer.h"

namespace linphone {
class Core;
}

// belle-sip's types, as its headers declare them.
struct belle_sip_provider;
struct belle_sip_main_loop;
struct belle_sip_listening_point;
struct belle_sip_client_transaction;
struct _belle_sip_request;
struct structbelle_sip_listener_t;
struct belle_sip_response_event;
struct belle_sip_timeout_event;
struct belle_sip_io_error_event;
struct belle_sip_transaction_terminated_event;

namespace Tarvent::VirtualChannel {

// A SIP provider of our own on the running Core's SIP stack (UDP and TCP
// on ports of its own), for the requests that the engine sends beside the
// library: the library's listener takes every answer on the Core's
// provider for one of the library's own requests, and would fail on one of
// ours. Its requests go out and their answers come back through the Core's
// main loop, on the core thread.
//
// Core thread only, except construction and destruction (detached then).
class SipSideProvider : public std::enable_shared_from_this<SipSideProvider> {
public:
    // What `send` reports when no final answer came in time, and when the
    // request could not be delivered (no connection, a transport error).
    static constexpr int kNoAnswer = 408;
    static constexpr int kTransportFailed = 503;
    // The final status of a request (or kNoAnswer / kTransportFailed).
    using Outcome = std::function<void(int status)>;

    SipSideProvider();
    ~SipSideProvider();

    SipSideProvider(const SipSideProvider&) = delete;
    SipSideProvider& operator=(const SipSideProvider&) = delete;

    // After the Core has started: opens the listening points and detaches
    // by itself when the Core shuts down. Throws SipError when the Core's
    // SIP layer can't be reached or a listening point can't be opened.
    void attach(linphone::Core& core);
    // Gives up every request in flight (their outcomes are never reported)
    // and closes the listening points. Idempotent.
    void detach();
    bool attached() const { return provider_ != nullptr; }

    // The main loop of the Core's stack; null when detached.
    belle_sip_main_loop* mainLoop() const;
    // A new request outside any dialog: `method` to `target` (its request
    // URI and its To), from `from` with a fresh tag, with a fresh Call-ID
    // and the sequence number `cseq`. Null when detached or a URI is invalid.
    // Hand it to send() (or drop it with belle_sip_object_unref after
    // taking a reference).
    _belle_sip_request* createRequest(const char* method, const std::string& target, const std::string& from,
                                      unsigned cseq) const;
    static std::string callIdOf(const _belle_sip_request* request);

    // Sends `request` (which it takes, and which must carry a Via header) in
    // a transaction of its own: to `nextHop` (a SIP URI) when not empty,
    // else where its request URI leads. `outcome` is called once with the
    // final status, or with kNoAnswer when none came within `timeout` (the
    // transaction is given up then), or kTransportFailed; it may send again.
    // False, with `outcome` never called, when the request can't be sent.
    bool send(_belle_sip_request* request, const std::string& nextHop, std::chrono::milliseconds timeout,
              Outcome outcome);

    // The library's callbacks (through the listener's user context).
    void onResponse(const belle_sip_response_event* event);
    void onTimeout(const belle_sip_timeout_event* event);
    void onIoError(const belle_sip_io_error_event* event);
    void onTerminated(const belle_sip_transaction_terminated_event* event);

private:
    struct Request {
        belle_sip_client_transaction* transaction;  // one reference of ours
        std::chrono::steady_clock::time_point deadline;
        Outcome outcome;
        int status;  // an end seen inside send(), reported by the next sweep; 0 none
    };

    // Takes the request of `transaction` out of the list (none: not pending).
    std::optional<Request> take(const void* transaction);
    // Lets go of the request's transaction and calls its outcome.
    void report(Request request, int status);
    // From the transaction's events: reports `status` for its request, if pending.
    void finish(const void* transaction, int status);
    // Reports the requests that ended inside send() and gives up those whose
    // time is up (kNoAnswer).
    void sweep();

    belle_sip_provider* provider_ = nullptr;  // ours, one reference; null when detached
    std::vector<belle_sip_listening_point*> listeningPoints_;
    structbelle_sip_listener_t* listener_ = nullptr;  // ours, one reference, for this object's life
    std::vector<Request> requests_;
    const void* sending_ = nullptr;  // the transaction send() is sending
    SipLoopTimer sweeper_;  // runs while requests are in flight
};

}  // namespace Tarvent::VirtualChannel
