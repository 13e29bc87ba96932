// Files named to a second start reach the running program through a local
// socket beside the instance lock, open to this user only.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <chrono>

namespace mirvo::app {

// The socket beside the instance lock; empty when that folder is not this
// user's alone (then nothing is handed over, to nobody else either).
QString HandoverSocketPath();

// The running program's end. Only the holder of the instance lock listens,
// so a socket left by a run that crashed is removed first.
class FileHandover : public QObject {
  Q_OBJECT
 public:
  explicit FileHandover(QObject* parent = nullptr);
  bool Listen(const QString& path, QString* error = nullptr);

 signals:
  // Absolute paths, in the order the second start named them.
  void FilesReceived(const QStringList& paths);

 private:
  void Accept();
  QLocalServer server_;
};

// The second start's end: sends paths (made absolute here, against this
// process's folder) and waits up to bound for the running program to take
// them; it may still be starting. False, with error set, when not taken.
bool HandOverFiles(const QString& socket_path, const QStringList& paths, std::chrono::milliseconds bound,
                   QString* error);

}  // namespace mirvo::app
