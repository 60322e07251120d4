#include "platform/pulse/pulse_device_events.hpp"

#include <pulse/context.h>
#include <pulse/subscribe.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/pulse/pulse_record_handoff.hpp"

namespace {

constexpr std::chrono::milliseconds kSubscribeTimeout{3000};

bool isDeviceChange(pa_subscription_event_type_t event) {
  const unsigned facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const unsigned type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  // The server's own "change" is that of its defaults; a sink's or source's
  // "change" is a volume, a port or a suspension.
  if (facility == PA_SUBSCRIPTION_EVENT_SERVER) return true;
  return type == PA_SUBSCRIPTION_EVENT_NEW || type == PA_SUBSCRIPTION_EVENT_REMOVE;
}

void onSubscribed(pa_context*, int, void* connection) {
  static_cast<const PulseConnection*>(connection)->signal();
}

}  // namespace

// What the loop's callback and our thread share.
struct PulseDeviceEvents::Waker {
  std::function<void()> onChange;  // set before the thread starts, then only read by it
  std::mutex mutex;
  std::condition_variable wake;
  bool pending = false;  // guarded by mutex: a notice came since the last call began
  bool quit = false;     // guarded by mutex
  std::thread thread;    // owned by the PulseDeviceEvents

  void notice() {
    std::lock_guard<std::mutex> guard(mutex);
    pending = true;
    wake.notify_one();
  }
  static void run(const std::shared_ptr<Waker>& self) {
    std::unique_lock<std::mutex> guard(self->mutex);
    for (;;) {
      self->wake.wait(guard, [&] { return self->pending || self->quit; });
      if (self->quit) return;
      self->pending = false;
      guard.unlock();
      self->onChange();
      guard.lock();
    }
  }
  static void onEvent(pa_context*, pa_subscription_event_type_t event, uint32_t, void* waker) {
    loop_handoff::Scope handoff;
    if (isDeviceChange(event)) static_cast<Waker*>(waker)->notice();
  }
};

PulseDeviceEvents::PulseDeviceEvents(std::shared_ptr<PulseConnection> connection,
                                     std::shared_ptr<Waker> waker)
    : connection_(std::move(connection)), waker_(std::move(waker)) {}

std::unique_ptr<PulseDeviceEvents> PulseDeviceEvents::subscribe(
    std::shared_ptr<PulseConnection> connection, std::function<void()> onChange) {
  if (connection == nullptr) return nullptr;
  auto waker = std::make_shared<Waker>();
  waker->onChange = std::move(onChange);
  waker->thread = std::thread(Waker::run, waker);
  std::unique_ptr<PulseDeviceEvents> events(new PulseDeviceEvents(connection, waker));

  PulseConnection::Lock lock(*connection);
  loop_handoff::Scope handoff;
  if (!connection->isReady()) return nullptr;
  pa_context_set_subscribe_callback(connection->context(), Waker::onEvent, waker.get());
  const auto mask = static_cast<pa_subscription_mask_t>(
      PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE);
  pa_operation* op = pa_context_subscribe(connection->context(), mask, onSubscribed,
                                          connection.get());
  const bool answered =
      connection->waitForOperation(op, PulseConnection::Clock::now() + kSubscribeTimeout);
  loop_handoff::mark();
  if (!answered) return nullptr;  // the destructor lets the callback go
  return events;
}

PulseDeviceEvents::~PulseDeviceEvents() {
  {
    PulseConnection::Lock lock(*connection_);
    loop_handoff::Scope handoff;
    pa_context_set_subscribe_callback(connection_->context(), nullptr, nullptr);
  }
  {
    std::lock_guard<std::mutex> guard(waker_->mutex);
    waker_->quit = true;
    waker_->wake.notify_one();
  }
  if (waker_->thread.get_id() == std::this_thread::get_id()) {
    waker_->thread.detach();
  } else {
    waker_->thread.join();
  }
}
