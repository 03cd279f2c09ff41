#pragma once
// The outcome of a service operation: success, or a failure carrying what the REST answer of it
// would say (its HTTP status, the service's error code, a message). One type for every wing, so
// a refusal found deep in the store reaches the client unchanged.
//
// Two makers of failures:
// - Fail(status, code, message): a refusal a client sees as it is (status and code both set);
// - Status::Error(message): a failure that has no answer of its own (a listener that does not
//   start, a file that cannot be read, a malformed argument). It carries HTTP 500 and error code
//   0; callers use only its message.

#include <string>
#include <utility>

namespace zelmic {

class Status {
 public:
  Status() = default;  // success
  static Status OK() { return Status(); }
  static Status Fail(unsigned http_status, int code, std::string message) {
    return Status(http_status == 0 ? 500 : http_status, code, std::move(message));
  }
  static Status Error(std::string message) { return Status(500, 0, std::move(message)); }

  bool ok() const { return http_status_ == 0; }
  // 0 on success; else the status of the answer that reports the failure.
  unsigned http_status() const { return http_status_; }
  int code() const { return code_; }
  const std::string& message() const { return message_; }

 private:
  Status(unsigned http_status, int code, std::string message)
      : http_status_(http_status), code_(code), message_(std::move(message)) {}

  unsigned http_status_ = 0;
  int code_ = 0;
  std::string message_;
};

inline Status Fail(unsigned http_status, int code, std::string message) {
  return Status::Fail(http_status, code, std::move(message));
}

}  // namespace zelmic
