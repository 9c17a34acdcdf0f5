#pragma once

#include <string>

namespace Tarvent::VirtualChannel {

// What the service host drives: the engine as a whole. `start` and `run` are
// called once each, in that order, on the host's main thread; `stop` comes
// from the host's signal thread, at most once, and only after `start`
// returned (so possibly while `run` blocks or just before it begins). When
// the start fails (`start` threw, or the host failed before calling it),
// `abandonStart` is called in place of `run`, on the main thread, once the
// failure has been reported.
class IServiceApplication {
public:
    virtual ~IServiceApplication() = default;

    // Builds and starts the engine in `workingDirectory`; throws on failure.
    virtual void start(const std::string& workingDirectory) = 0;
    // Blocks while the engine serves, then tears it down.
    virtual void run() = 0;
    // Asks `run` to end; returns at once.
    virtual void stop() = 0;
    // Undoes whatever a failed start built and withdraws what it published,
    // writing nothing to the log that says the engine ran. Throws on failure.
    virtual void abandonStart() = 0;
};

}  // namespace Tarvent::VirtualChannel
