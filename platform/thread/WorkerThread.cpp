#include "platform/thread/WorkerThread.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/core/LastError.h"
#include "platform/thread/EventPump.h"

namespace qrv::platform {
namespace {

struct Completion {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  uint32_t exitCode = 0;
  std::string errorText;  // the worker's last error, handed to the caller
};

}  // namespace

uint32_t WorkerThread::Run(const std::function<uint32_t()>& work, std::chrono::milliseconds pumpInterval) {
  if (pumpInterval.count() <= 0) pumpInterval = EventPump::ThreadInterval();
  auto completion = std::make_shared<Completion>();
  std::thread worker;
  try {
    worker = std::thread([&work, completion] {
      uint32_t code = 0;
      LastError::Clear();
      try {
        code = work();
      } catch (const std::exception& e) {
        LastError::Set(std::string("worker failed: ") + e.what());
        code = 0;
      } catch (...) {
        LastError::Set("worker failed");
        code = 0;
      }
      std::lock_guard lock(completion->mutex);
      completion->errorText = LastError::Text();
      completion->exitCode = code;
      completion->finished = true;
      completion->done.notify_all();
    });
  } catch (const std::exception& e) {
    LastError::Set(std::string("cannot start a worker thread: ") + e.what());
    return 0;
  }

  // Wake on completion at once, or after the interval to service events.
  std::unique_lock lock(completion->mutex);
  while (!completion->done.wait_for(lock, pumpInterval, [&] { return completion->finished; })) {
    lock.unlock();
    EventPump::Pump();
    lock.lock();
  }
  uint32_t code = completion->exitCode;
  std::string errorText = std::move(completion->errorText);
  lock.unlock();
  worker.join();
  // Events that came while a short piece of work ran (a cancel request,
  // Ctrl-C) are seen before the next one starts, not only when a piece
  // happens to outlast the interval.
  EventPump::Pump();
  // The error text is per thread; the caller is the one who reports it.
  LastError::Set(std::move(errorText));
  return code;
}

}  // namespace qrv::platform
