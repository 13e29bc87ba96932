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
// process's folder; none asks the window to come to the front) and waits up
// to bound for the running program to take them; it may still be starting.
// The running program acts only on the confirmation sent back here once its
// answer arrived. False, with error set, when not taken.
bool HandOverFiles(const QString& socket_path, const QStringList& paths, std::chrono::milliseconds bound,
                   QString* error);

// What a start does while another run holds the instance lock: hands its
// files over (or, without files, brings that window to the front). 0 when
// done; otherwise says why in a message box and gives 1.
int SecondStart(const QStringList& params, std::chrono::milliseconds bound);

}  // namespace mirvo::app
