#pragma once

#include <cstddef>
#include <string_view>

// The words that travel between Tavelcast and the pupils' Tavelseats clients.
// Comparison is exact and case-sensitive.
namespace tavelcast::words {

// Sent by the server on its own initiative.
inline constexpr std::string_view GetSnapShot = "GetSnapShot";
inline constexpr std::string_view KeyLockON = "KeyLockON";
inline constexpr std::string_view KeyLockOFF = "KeyLockOFF";
inline constexpr std::string_view Restart = "Restart";
inline constexpr std::string_view ShutDown = "ShutDown";
inline constexpr std::string_view DisallowON = "DisallowON";
inline constexpr std::string_view DisallowOFF = "DisallowOFF";
inline constexpr std::string_view StopScreenStreaming = "StopScreenStreaming";
inline constexpr std::string_view GetDisallowedApps = "GetDisallowedApps";

// Sent by clients (GetSnapShot and GetDisallowedApps above are used both ways).
inline constexpr std::string_view IDLE = "IDLE";

// Sent by the server as the first piece of a screen frame.
inline constexpr std::string_view DoScreenStreaming = "DoScreenStreaming";

} // namespace tavelcast::words

namespace tavelcast::framing {

// A line read from a client may hold at most this many bytes before its line feed,
// a carriage return included.
inline constexpr std::size_t MaxLineBytes = 16384;

// Payloads are written to the network in pieces of at most this many bytes.
inline constexpr std::size_t MaxPayloadPiece = 32768;

// A count line above this ends the connection before anything is allocated.
inline constexpr std::size_t MaxPayloadBytes = 64u * 1024u * 1024u;

inline constexpr std::string_view LineEnd = "\r\n";

} // namespace tavelcast::framing
