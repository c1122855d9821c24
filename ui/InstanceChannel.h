#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

namespace qrv {

// The requests a second start sends to the running update window: a local
// socket in the user's runtime folder (platform::InstanceLock::RuntimeFolder,
// private to the user, below the root in a sandbox), named after the
// application title of the current language (string 57344) and the user id,
// so two users, two languages' titles and two sandboxes never meet.
//
// A request is one line: "NotifyState" (the automatic window shows its
// state) or "Front" (the interactive window comes to the front). The
// server emits one signal per request line it reads; anything else is
// ignored, and a connection that sends more than kMaxBytes is dropped.
//
// The server is made by the process whose window runs, after it holds the
// window's InstanceLock (Listen removes a socket left by an earlier holder,
// which only the lock holder may do). Running() gives it to the window that
// wants the requests. Send() is for start-up: blocking, with deadlines, no
// event loop or application object needed.
//
// Thread: the user-interface thread. At most one listening server per
// process.
class InstanceChannel : public QObject {
  Q_OBJECT

 public:
  enum class Request { kNotifyState, kFront };
  static constexpr int kMaxBytes = 64;
  static constexpr int kDeadlineMs = 2000;

  explicit InstanceChannel(QObject* parent = nullptr);
  ~InstanceChannel() override;

  // Starts listening at ServerPath(); false with error (naming the path)
  // when it cannot. Call while holding the window's InstanceLock.
  bool Listen(QString& error);
  // The listening server of this process, or null.
  static InstanceChannel* Running();

  // Sends request to the running window; false with error when no server
  // answers (none runs, or the runtime folder cannot be used) or the
  // request could not be written within kDeadlineMs.
  static bool Send(Request request, QString& error);
  // The socket's path; empty with error when the runtime folder cannot be
  // used.
  static QString ServerPath(QString& error);

 signals:
  void notifyState();
  void front();

 private:
  void Accept();
  void ReadRequests(QLocalSocket* socket);

  QLocalServer* m_server = nullptr;
};

}  // namespace qrv
