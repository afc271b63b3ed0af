// The one failure every reader of the central server's bytes raises: the message stream, DBX
// values, variant streams and data packets alike.
#pragma once

#include <stdexcept>

namespace central {

// The peer sent something this side cannot read; what() says what.
class ProtocolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace central
