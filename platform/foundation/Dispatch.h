// Dispatch queues (the phone's libdispatch, as far as the application uses it): serial queues that
// run one block at a time in submission order, concurrent queues that run blocks side by side,
// and the main queue, which is the main thread's run loop.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace platform {

class DispatchQueue {
public:
  enum class Kind { Serial, Concurrent };

  virtual ~DispatchQueue() = default;

  // A new queue. The label names it in logs and debuggers ("batchLoadAssetLibQue").
  static std::shared_ptr<DispatchQueue> create(std::string label, Kind kind = Kind::Serial);
  // The main thread's queue: blocks run on the main run loop, in FIFO order with its posts.
  static std::shared_ptr<DispatchQueue> main();
  // The process-wide concurrent queue.
  static std::shared_ptr<DispatchQueue> global();

  // Submits a block and returns at once. Any thread. A queue keeps itself alive until the blocks
  // submitted to it have run, so a caller may drop its reference right after submitting. Once the
  // process is ending (stopWorkerThreads) a block submitted to a queue other than the main one is
  // let go without running.
  virtual void async(std::function<void()> block) = 0;

  virtual const std::string &label() const = 0;
  virtual Kind kind() const = 0;
};

// Submits to the main queue (dispatch_async(dispatch_get_main_queue(), ...)).
void dispatchAsyncMain(std::function<void()> block);

} // namespace platform
