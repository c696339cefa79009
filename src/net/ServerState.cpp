#include "net/ServerState.h"

#include "net/ProtocolWords.h"

namespace tavelcast {

std::string ServerState::StreamMode() const {
    switch (m_streamMode.load()) {
    case StreamModeValue::DoScreenStreaming:
        return std::string(words::DoScreenStreaming);
    case StreamModeValue::StopScreenStreaming:
        return std::string(words::StopScreenStreaming);
    case StreamModeValue::Empty:
        break;
    }
    return {};
}

} // namespace tavelcast
