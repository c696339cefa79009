#pragma once

#include <stdexcept>
#include <string>

namespace tavelcast {

// The peer closed the connection (or it was closed under us).
class ConnectionClosed : public std::runtime_error {
public:
    explicit ConnectionClosed(const std::string& what) : std::runtime_error(what) {}
};

// The peer broke the framing: a line too long, a bad count line.
class ProtocolError : public std::runtime_error {
public:
    explicit ProtocolError(const std::string& what) : std::runtime_error(what) {}
};

// A write did not complete before its deadline; the connection is dropped.
class WriteTimeout : public std::runtime_error {
public:
    explicit WriteTimeout(const std::string& what) : std::runtime_error(what) {}
};

} // namespace tavelcast
