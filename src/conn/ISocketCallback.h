// The order server hands every order it receives to the daemon core through this interface.
#pragma once

#include <string>

namespace veldw485::conn {

class ISocketCallback {
  public:
    // One order as cut out of the received text, without its terminator. Returns the response
    // word, "finish", "close-fd" or the empty string (nothing is sent).
    virtual std::string CallOrderFromLibrary(std::string order) = 0;
    virtual ~ISocketCallback() = default;
};

}  // namespace veldw485::conn
