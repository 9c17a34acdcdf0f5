#include "sip/SipInviteText.h"

#include <optional>
#include <vector>

#include <linphone++/linphone.hh>

#include "sip/SipHeaderMap.h"
#include "sip/SipMessageTap.h"
#include "sip/SipStack.h"
#include "sip/SipText.h"

namespace Tarvent::VirtualChannel {

namespace {

// Headers of an INVITE that a softphone may look at beside From and To.
const char* const kExposedHeaders[] = {"Alert-Info",   "P-Asserted-Identity", "Remote-Party-ID", "Diversion",
                                       "History-Info", "Subject",             "Call-Info",       "X-Route-Name"};

std::string trim(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return "";
    }
    const std::size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// Splits at `separator` outside of <...> and "...".
std::vector<std::string> splitOutside(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::string current;
    bool inAngle = false;
    bool inQuote = false;
    for (const char c : text) {
        if (c == '"' && !inAngle) {
            inQuote = !inQuote;
        } else if (c == '<' && !inQuote) {
            inAngle = true;
        } else if (c == '>' && !inQuote) {
            inAngle = false;
        } else if (c == separator && !inAngle && !inQuote) {
            parts.push_back(current);
            current.clear();
            continue;
        }
        current += c;
    }
    parts.push_back(current);
    return parts;
}

// One Alert-Info header value: does it ask to be answered at once?
bool valueAsksForAutoAnswer(const std::string& alertInfo)
{
    for (const std::string& value : splitOutside(alertInfo, ',')) {
        const std::vector<std::string> parameters = splitOutside(value, ';');
        for (std::size_t i = 1; i < parameters.size(); ++i) {
            const std::string parameter = parameters[i];
            const std::size_t equals = parameter.find('=');
            if (equals == std::string::npos) {
                continue;
            }
            if (toLower(trim(parameter.substr(0, equals))) == "info" &&
                toLower(trim(parameter.substr(equals + 1))) == "alert-autoanswer") {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

std::string SipInviteText::fromCall(linphone::Call& call)
{
    const auto log = call.getCallLog();
    if (log) {
        // The raw text as received, when the stack's message log held all of it.
        if (std::optional<std::string> raw = SipStack::getInstance().getMessageTap().takeInvite(log->getCallId())) {
            return *raw;
        }
    }
    const auto to = call.getToAddress();
    const auto from = call.getRemoteAddress();
    std::string text = "INVITE " + (to ? to->asStringUriOnly() : std::string("sip:unknown")) + " SIP/2.0\r\n";
    if (from) {
        text += "From: " + from->asString() + "\r\n";
    }
    if (to) {
        text += "To: " + to->asString() + "\r\n";
    }
    if (log) {
        text += "Call-ID: " + log->getCallId() + "\r\n";
    }
    const std::string agent = call.getRemoteUserAgent();
    if (!agent.empty()) {
        text += "User-Agent: " + agent + "\r\n";
    }
    if (const auto remote = call.getRemoteParams()) {
        for (const char* name : kExposedHeaders) {
            const std::string value = remote->getCustomHeader(name);
            if (!value.empty()) {
                text += std::string(name) + ": " + value + "\r\n";
            }
        }
    }
    text += "\r\n";
    return text;
}

bool SipInviteText::asksForAutoAnswer(const std::string& inviteText, const std::string& alertInfo)
{
    if (valueAsksForAutoAnswer(alertInfo)) {
        return true;
    }
    for (const std::string& value : SipHeaderMap(inviteText.c_str()).getAll("Alert-Info")) {
        if (valueAsksForAutoAnswer(value)) {
            return true;
        }
    }
    return false;
}

}  // namespace Tarvent::VirtualChannel
