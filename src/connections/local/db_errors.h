// Failures of the local database connection. what() is the text that goes into the log as it is.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace localdb {

// Any failure of the local database layer.
class EDatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The client library could not be loaded, or lacks an entry point.
class ClientLibraryError : public EDatabaseError {
 public:
  using EDatabaseError::EDatabaseError;
};

// An error reported by Firebird: the message is the client library's own text, every line of the
// status vector joined by CR LF; codes() holds the status vector's error codes in order.
class EFirebirdError : public EDatabaseError {
 public:
  EFirebirdError(const std::string& message, std::vector<std::int64_t> codes)
      : EDatabaseError(message), codes_(std::move(codes)) {}
  const std::vector<std::int64_t>& codes() const { return codes_; }
  bool HasCode(std::int64_t code) const {
    for (auto c : codes_)
      if (c == code) return true;
    return false;
  }

 private:
  std::vector<std::int64_t> codes_;
};

}  // namespace localdb
