#include "app/file_handover.h"

#include <QDataStream>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QThread>
#include <QtEndian>
#include <memory>
#include <optional>

#include "app/message_box.h"
#include "app/single_instance.h"

namespace mirvo::app {
namespace {

// A message is a 32-bit big-endian length and a QDataStream of the paths;
// the answer one byte, which the sender confirms with one byte of its own.
// Only a confirmed hand-over counts: a sender that gave up waiting never
// confirms, and its files are not sent behind its back.
constexpr char kTaken = 'A';
constexpr char kRefused = 'R';
constexpr char kConfirmed = 'C';
constexpr quint32 kMaxMessage = 1 << 20;
constexpr auto kStreamVersion = QDataStream::Qt_6_0;

}  // namespace

QString HandoverSocketPath() {
  const std::string dir = InstanceDir();
  if (!PrivateToUser(dir)) return {};
  return QString::fromStdString(dir) + "/Mirvo.socket";
}

FileHandover::FileHandover(QObject* parent) : QObject(parent) {
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  connect(&server_, &QLocalServer::newConnection, this, &FileHandover::Accept);
}

bool FileHandover::Listen(const QString& path, QString* error) {
  if (!path.isEmpty()) {
    QLocalServer::removeServer(path);
    if (server_.listen(path)) return true;
  }
  if (error) *error = path.isEmpty() ? QStringLiteral("no private folder for the socket") : server_.errorString();
  return false;
}

void FileHandover::Accept() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    auto buffer = std::make_shared<QByteArray>();
    auto taken = std::make_shared<std::optional<QStringList>>();
    connect(socket, &QLocalSocket::readyRead, this, [this, socket, buffer, taken] {
      buffer->append(socket->readAll());
      if (*taken) {
        if (buffer->isEmpty()) return;
        const bool confirmed = buffer->front() == kConfirmed;
        const QStringList paths = std::move(**taken);
        taken->reset();
        buffer->clear();
        socket->disconnectFromServer();
        // Later, from the event loop: an upload runs nested event loops, in
        // which this socket may go away under its own signal.
        if (confirmed)
          QMetaObject::invokeMethod(this, [this, paths] { emit FilesReceived(paths); }, Qt::QueuedConnection);
        return;
      }
      if (buffer->size() < 4) return;
      const quint32 length = qFromBigEndian<quint32>(buffer->constData());
      if (length > kMaxMessage) {
        socket->write(&kRefused, 1);
        socket->disconnectFromServer();
        return;
      }
      if (static_cast<quint32>(buffer->size()) < 4 + length) return;
      QDataStream in(buffer->mid(4, static_cast<qsizetype>(length)));
      in.setVersion(kStreamVersion);
      QStringList paths;
      in >> paths;
      bool ok = in.status() == QDataStream::Ok && in.atEnd();
      for (const QString& path : paths) ok = ok && QDir::isAbsolutePath(path);
      buffer->remove(0, 4 + static_cast<qsizetype>(length));
      socket->write(ok ? &kTaken : &kRefused, 1);
      socket->flush();
      if (!ok) {
        socket->disconnectFromServer();
        return;
      }
      *taken = paths;
    });
  }
}

bool HandOverFiles(const QString& socket_path, const QStringList& paths, std::chrono::milliseconds bound,
                   QString* error) {
  auto fail = [error](const QString& text) {
    if (error) *error = text;
    return false;
  };
  if (socket_path.isEmpty()) return fail(QStringLiteral("no private folder for the socket"));
  QStringList absolute;
  for (const QString& path : paths) absolute << QFileInfo(path).absoluteFilePath();
  QByteArray message(4, '\0');
  {
    QDataStream out(&message, QIODevice::WriteOnly | QIODevice::Append);
    out.setVersion(kStreamVersion);
    out << absolute;
  }
  qToBigEndian<quint32>(static_cast<quint32>(message.size() - 4), message.data());

  const QDeadlineTimer deadline(bound);
  QLocalSocket socket;
  // The running program may not listen yet when both start at once.
  for (;;) {
    socket.connectToServer(socket_path);
    if (socket.waitForConnected(static_cast<int>(deadline.remainingTime()))) break;
    if (deadline.hasExpired()) return fail(socket.errorString());
    QThread::msleep(50);
  }
  socket.write(message);
  while (socket.bytesToWrite() > 0)
    if (!socket.waitForBytesWritten(static_cast<int>(deadline.remainingTime()))) return fail(socket.errorString());
  if (!socket.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) return fail(socket.errorString());
  char answer = 0;
  if (!socket.getChar(&answer) || answer != kTaken) return fail(QStringLiteral("the running program refused them"));
  socket.write(&kConfirmed, 1);
  while (socket.bytesToWrite() > 0)
    if (!socket.waitForBytesWritten(static_cast<int>(std::max<qint64>(0, deadline.remainingTime()))))
      return fail(socket.errorString());
  return true;
}

int SecondStart(const QStringList& params, std::chrono::milliseconds bound) {
  QString error;
  if (HandOverFiles(HandoverSocketPath(), params, bound, &error)) return 0;
  const QString text = params.isEmpty() ? QString::fromUtf8("起動中のMirvoを前面に表示できませんでした。\n\n%2")
                                        : QString::fromUtf8("起動中のMirvoにファイルを渡せませんでした。\n%1\n\n%2");
  ShowMessage(params.isEmpty() ? text.arg(QString(), error) : text.arg(params.join('\n'), error));
  return 1;
}

}  // namespace mirvo::app
