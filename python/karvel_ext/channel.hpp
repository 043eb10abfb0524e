// A channel of capacity one between exactly one sender and one receiver.
// send() blocks while the slot is full and fails once the receiver is gone;
// recv() blocks while the slot is empty and fails once it is empty and the
// sender is gone. Values are moved through the slot, never copied.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace karvel::python {

template <class T>
class ChannelState {
 public:
  bool send(T value) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !slot_ || !receiver_open_; });
    if (!receiver_open_) return false;
    slot_.emplace(std::move(value));
    changed_.notify_all();
    return true;
  }

  std::optional<T> recv() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return slot_ || !sender_open_; });
    std::optional<T> value = std::exchange(slot_, std::nullopt);
    if (value) changed_.notify_all();
    return value;
  }

  void close_sender() noexcept {
    std::lock_guard lock(mutex_);
    sender_open_ = false;
    changed_.notify_all();
  }

  // Closes the receiving side and hands back what was still in the slot, so
  // the caller discards it outside the lock.
  std::optional<T> close_receiver() noexcept {
    std::lock_guard lock(mutex_);
    receiver_open_ = false;
    changed_.notify_all();
    return std::exchange(slot_, std::nullopt);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<T> slot_;
  bool sender_open_ = true;
  bool receiver_open_ = true;
};

template <class T>
class Sender {
 public:
  explicit Sender(std::shared_ptr<ChannelState<T>> state) noexcept : state_(std::move(state)) {}
  Sender(Sender&&) noexcept = default;
  Sender& operator=(Sender&&) = delete;
  ~Sender() {
    if (state_) state_->close_sender();
  }
  // False when the receiver is gone; the value is then dropped.
  bool send(T value) { return state_->send(std::move(value)); }

 private:
  std::shared_ptr<ChannelState<T>> state_;
};

template <class T>
class Receiver {
 public:
  explicit Receiver(std::shared_ptr<ChannelState<T>> state) noexcept : state_(std::move(state)) {}
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&&) = delete;
  ~Receiver() {
    if (state_) state_->close_receiver();
  }
  // Nothing once the channel is empty and the sender is gone.
  std::optional<T> recv() { return state_->recv(); }

 private:
  std::shared_ptr<ChannelState<T>> state_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
  auto state = std::make_shared<ChannelState<T>>();
  return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace karvel::python
