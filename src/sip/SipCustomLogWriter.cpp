#include "sip/SipCustomLogWriter.h"

#include <cstring>
#include <string>

#include "logging/Logger.h"

namespace Tarvent::VirtualChannel {

namespace {

// Sound-card discovery chatter, repeated at every start and every device
// refresh, with nothing to act on.
const char* const kDiscoveryChatter[] = {
    "ALSA driver found",
    "wmme_dev.c",
    "alsa_dev.c Added sound device",
    "Registering all soundcard handlers",
    "ALSA: found card with name",
    "' added with capabilities [",
    "' prepended with capabilities [",
    "New PulseAudio context state",
    "alsa error in conf",
    "Unknown PCM default",
    "] type is unknown",
};

// A device that stops delivering logs these once per audio period.
const char* const kCaptureReadErrors[] = {
    "alsa_dev.c ca_thread_func: error reading data!",
    "alsa_read: snd_pcm_readi() failed",
    "alsa_read: snd_pcm_readi() returned",
    "pa_stream_peek() failed",
    "hole detected while reading samples",
};

const char* const kPlaybackWriteErrors[] = {
    "alsa_dev.c pb_thread_func: error writing data!",
    "alsa_card_write: snd_pcm_writei() failed",
    "alsa_card_write: Error writing sound buffer",
};

bool contains(const std::string& message, const char* text)
{
    return message.find(text) != std::string::npos;
}

}  // namespace

SipCustomLogWriter::SipCustomLogWriter(Now now)
    : now_(std::move(now)), lastPlaybackWriteError(now_()), lastCaptureReadError(lastPlaybackWriteError)
{
}

bool SipCustomLogWriter::isThrottled(const SipLogEntry& entry, const char* text, Clock::time_point& lastTime)
{
    const Clock::time_point now = now_();
    if (!contains(entry.msg, text)) {
        return false;
    }
    const std::lock_guard<std::mutex> lock(timeMutex_);
    if (now - lastTime < throttleInterval) {
        return true;
    }
    lastTime = now;
    return false;
}

bool SipCustomLogWriter::isDropped(const SipLogEntry& entry)
{
    for (const char* text : kDiscoveryChatter) {
        if (contains(entry.msg, text)) {
            return true;
        }
    }
    for (const char* text : kCaptureReadErrors) {
        if (contains(entry.msg, text)) {
            return isThrottled(entry, text, lastCaptureReadError);
        }
    }
    for (const char* text : kPlaybackWriteErrors) {
        if (contains(entry.msg, text)) {
            return isThrottled(entry, text, lastPlaybackWriteError);
        }
    }
    return false;
}

void SipCustomLogWriter::write(const SipLogEntry& entry)
{
    if (isDropped(entry)) {
        return;
    }
    const std::string& text = entry.msg;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::size_t length = end - begin;
        if (length > 0) {
            if (text[begin + length - 1] == '\r') {
                --length;
            }
            logDebug("PJSIP: %.*s", static_cast<int>(length), text.data() + begin);
        }
        begin = end + 1;
    }
}

}  // namespace Tarvent::VirtualChannel
