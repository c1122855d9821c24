#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <functional>

namespace qrv::test {

// Runs Qt's events until done() holds or ms milliseconds have passed, and
// returns done()'s last answer. A 10 ms timer wakes the wait when no other
// event comes, so done() is asked again even when it watches something Qt
// does not signal (a file, another process).
//
// Thread: the thread of the QCoreApplication (the test's main thread).
inline bool WaitFor(const std::function<bool()>& done, int ms) {
  QElapsedTimer clock;
  clock.start();
  QTimer tick;
  tick.start(10);
  while (!done()) {
    if (clock.elapsed() > ms) return done();
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  return true;
}

}  // namespace qrv::test
