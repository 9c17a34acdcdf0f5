#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct pa_context;
struct pa_threaded_mainloop;

namespace Tarvent::VirtualChannel {

// The engine's connection to the PulseAudio server, shared by the sound
// cards of SipPulseSoundCards and the streams they open.
//
// A server that goes away (it crashed, or was restarted) takes its
// connection with it for good: every stream made on it has failed, and none
// is ever made on it again. The next connection is made on demand, by a
// device listing or (in the background, at most every kRetryPeriod) by a
// stream or a watcher that wants one, so that calls find a server that came
// back without anybody re-reading the devices.
//
// Threads: any thread. Everything here, and every libpulse object of the
// streams, is guarded by the main loop's lock (Lock), which libpulse also
// holds while it runs the callbacks on its own thread. It is recursive and
// a leaf: nothing else is taken under it but the Logger.
class SipPulseServer {
public:
    static constexpr std::chrono::milliseconds kRetryPeriod{500};

    // One connection's life: `generation` counts the connections that were
    // made so far (0: none yet); `connected` while the last one is up.
    struct Session {
        std::uint64_t generation = 0;
        bool connected = false;
        bool operator==(const Session& other) const
        {
            return generation == other.generation && connected == other.connected;
        }
        bool operator!=(const Session& other) const { return !(*this == other); }
    };

    // A sink or a source (monitors left out): the server's name for it and
    // its description, the name the engine shows.
    struct Device {
        std::string name;
        std::string description;
    };
    struct Devices {
        std::vector<Device> sinks;
        std::vector<Device> sources;
    };

    // Holds the main loop's lock.
    class Lock {
    public:
        explicit Lock(SipPulseServer& server);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pa_threaded_mainloop* loop_;
    };

    static SipPulseServer& getInstance();

    SipPulseServer(const SipPulseServer&) = delete;
    SipPulseServer& operator=(const SipPulseServer&) = delete;

    // The connection as it stands. When it was lost, another is tried in the
    // background (see the class comment). Never waits for the server.
    Session session();
    // The server's devices, connecting first when needed; waits up to
    // `timeout` in all. Empty when no server answered in time.
    std::optional<Devices> listDevices(std::chrono::milliseconds timeout);
    // The server's name of the sink (or source) that the last listing
    // described as `description`; empty when it had none.
    std::string deviceName(const std::string& description, bool sink);

    // With the Lock held: the live connection and its generation, or null
    // (then another is tried in the background, as by session()).
    pa_context* liveContext(std::uint64_t& generation);
    // With the Lock held once (not more): waits for a signal of a libpulse
    // callback (signal()) or `deadline`, whichever comes first.
    void waitFor(std::chrono::steady_clock::time_point deadline);
    // With the Lock held, in a libpulse callback: wakes waitFor().
    void signal();

private:
    SipPulseServer() = default;
    ~SipPulseServer();

    // Starts the main loop on first use; the loop lives as long as this object.
    pa_threaded_mainloop* loop();
    // With the Lock held. Starts a new connection unless one is up or on
    // its way; `paced` keeps background attempts kRetryPeriod apart.
    void startConnecting(bool paced);
    // With the Lock held: waits for the connection to come up or fail, at
    // most until `deadline`. True when it is up.
    bool waitUntilConnected(std::chrono::steady_clock::time_point deadline);
    static void onContextState(pa_context* context, void* self);

    std::once_flag started_;
    pa_threaded_mainloop* loop_ = nullptr;  // set once by loop(); then constant

    // Guarded by the main loop's lock.
    pa_context* context_ = nullptr;  // the newest connection, up or not
    std::uint64_t generation_ = 0;
    bool connected_ = false;
    bool connecting_ = false;
    std::optional<std::chrono::steady_clock::time_point> lastAttempt_;
    Devices listed_;  // the last listing
};

}  // namespace Tarvent::VirtualChannel
