#include "ui/InstanceChannel.h"

#include <unistd.h>

#include <QLocalServer>
#include <QLocalSocket>
#include <QVariant>
#include <string>

#include "platform/core/InstanceLock.h"
#include "res/CQUpdateStrings.h"
#include "res/StringIds.h"

namespace qrv {
namespace {

InstanceChannel* g_running = nullptr;

constexpr const char* kNotifyState = "NotifyState";
constexpr const char* kFront = "Front";

// The title as a file name: letters, digits, '.', '-' and '_' kept, every
// other byte (space, '/', bytes of other scripts) as '_'.
std::string FileNamePart(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                      c == '-' || c == '_';
    out += keep ? c : '_';
  }
  return out;
}

}  // namespace

InstanceChannel::InstanceChannel(QObject* parent) : QObject(parent) {}

InstanceChannel::~InstanceChannel() {
  if (g_running == this) g_running = nullptr;
  if (m_server == nullptr) return;
  // The connections still open must not reach this object while it goes.
  for (QLocalSocket* socket : m_server->findChildren<QLocalSocket*>()) disconnect(socket, nullptr, this, nullptr);
  m_server->close();  // removes the socket file
  delete m_server;
}

InstanceChannel* InstanceChannel::Running() { return g_running; }

QString InstanceChannel::ServerPath(QString& error) {
  std::string folder;
  std::string why;
  if (!platform::InstanceLock::RuntimeFolder(folder, why)) {
    error = QString::fromStdString(why);
    return {};
  }
  const std::string name =
      FileNamePart(CQUpdateStrings::Get(kStringAppTitle)) + "-" + std::to_string(geteuid()) + ".socket";
  return QString::fromStdString(folder + "/" + name);
}

bool InstanceChannel::Listen(QString& error) {
  const QString path = ServerPath(error);
  if (path.isEmpty()) return false;
  if (m_server == nullptr) {
    m_server = new QLocalServer(this);
    // The folder is the user's alone already; the socket says so too.
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &InstanceChannel::Accept);
  }
  // A socket file left by a holder that was killed answers nobody; the lock
  // we hold says no one else can be listening there.
  QLocalServer::removeServer(path);
  if (!m_server->listen(path)) {
    error = QStringLiteral("cannot listen at %1: %2").arg(path, m_server->errorString());
    return false;
  }
  g_running = this;
  return true;
}

void InstanceChannel::Accept() {
  while (QLocalSocket* socket = m_server->nextPendingConnection()) {
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] { ReadRequests(socket); });
    connect(socket, &QLocalSocket::disconnected, this, [this, socket] {
      ReadRequests(socket);
      socket->deleteLater();
    });
    ReadRequests(socket);
  }
}

void InstanceChannel::ReadRequests(QLocalSocket* socket) {
  // A request is a short line; whoever sends more is not a start of ours.
  if (socket->property("qrvBytes").toLongLong() + socket->bytesAvailable() > kMaxBytes) {
    socket->abort();
    return;
  }
  while (socket->canReadLine()) {
    const QByteArray line = socket->readLine().trimmed();
    socket->setProperty("qrvBytes", socket->property("qrvBytes").toLongLong() + line.size() + 1);
    if (line == kNotifyState) {
      emit notifyState();
    } else if (line == kFront) {
      emit front();
    }
  }
}

bool InstanceChannel::Send(Request request, QString& error) {
  const QString path = ServerPath(error);
  if (path.isEmpty()) return false;
  QLocalSocket socket;
  socket.connectToServer(path);
  if (!socket.waitForConnected(kDeadlineMs)) {
    error = QStringLiteral("no update window answers at %1: %2").arg(path, socket.errorString());
    return false;
  }
  const QByteArray line = QByteArray(request == Request::kNotifyState ? kNotifyState : kFront) + '\n';
  socket.write(line);
  while (socket.bytesToWrite() > 0) {
    if (!socket.waitForBytesWritten(kDeadlineMs)) {
      error = QStringLiteral("cannot send the request to %1: %2").arg(path, socket.errorString());
      return false;
    }
  }
  socket.disconnectFromServer();
  if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(kDeadlineMs);
  return true;
}

}  // namespace qrv
