#include "platform/pulse/pulse_record_link.hpp"

std::shared_ptr<PulseConnection> PulseRecordLink::get(std::string* error) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (connection_ != nullptr && connection_->isReady()) return connection_;
  // A connection whose server went away stays alive for the streams that
  // still hold it; the next user gets a fresh one.
  std::string reason;
  std::unique_ptr<PulseConnection> made =
      PulseConnection::connect("narup-capture", kConnectTimeout, &reason);
  if (made == nullptr) {
    if (error != nullptr) *error = reason;
    return nullptr;
  }
  connection_ = std::move(made);
  return connection_;
}
