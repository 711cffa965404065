// The order server hands every order it receives to the daemon core through this interface.
#pragma once

#include <string>
#include <utility>

namespace veldw485::conn {

class ISocketCallback {
  public:
    // One order as cut out of the received text, without its terminator. Returns the response
    // word, "finish", "close-fd" or the empty string (nothing is sent).
    virtual std::string CallOrderFromLibrary(std::string order) = 0;
    // The same, with the connection it came on (an identifier that stays unique until
    // ConnectionEnded reports it), for orders whose effect belongs to that connection.
    virtual std::string CallOrderFrom(int /*connection*/, std::string order) {
        return CallOrderFromLibrary(std::move(order));
    }
    // The connection is closed; what belonged to it ends with it.
    virtual void ConnectionEnded(int /*connection*/) {}
    virtual ~ISocketCallback() = default;
};

}  // namespace veldw485::conn
