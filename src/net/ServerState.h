#pragma once

#include <atomic>
#include <string>
#include <string_view>

namespace tavelcast {

// The screen-sending mode StreamMode: "" after start-up, "DoScreenStreaming" after
// "Send Screen to Clients" and "StopScreenStreaming" after "Stop Sending Screens".
enum class StreamModeValue { Empty, DoScreenStreaming, StopScreenStreaming };

// State written by the UI thread and read by connection threads.
class ServerState {
public:
    void setStreamMode(StreamModeValue mode) { m_streamMode.store(mode); }
    StreamModeValue streamModeValue() const { return m_streamMode.load(); }
    std::string StreamMode() const;
    bool streaming() const { return m_streamMode.load() == StreamModeValue::DoScreenStreaming; }

    // The check of "Enable Disallow Rules"; checked at start-up.
    void setDisallowRulesEnabled(bool enabled) { m_disallowRules.store(enabled); }
    bool disallowRulesEnabled() const { return m_disallowRules.load(); }

private:
    std::atomic<StreamModeValue> m_streamMode{StreamModeValue::Empty};
    std::atomic<bool> m_disallowRules{true};
};

} // namespace tavelcast
