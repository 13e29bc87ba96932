// Lists of local files as the desktop's file managers put them on the
// clipboard and into drags: text/uri-list with plain text beside it,
// x-special/gnome-copied-files and x-special/mate-copied-files ("copy" or
// "cut", then the URLs) and application/x-kde-cutselection ("1" for a cut).
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class QMimeData;

namespace mirvo::dragdrop {

inline constexpr char kUriList[] = "text/uri-list";
inline constexpr char kPlainText[] = "text/plain";
inline constexpr char kGnomeCopiedFiles[] = "x-special/gnome-copied-files";
inline constexpr char kMateCopiedFiles[] = "x-special/mate-copied-files";
inline constexpr char kKdeCutSelection[] = "application/x-kde-cutselection";

// The formats FillFileList writes.
QStringList FileListFormats(bool cut);

// Writes paths (absolute local paths) in every format.
void FillFileList(QMimeData& mime, const QStringList& paths, bool cut);

// Whether mime carries a list of files in a format read by LocalFiles.
bool HasFileList(const QMimeData* mime);

// An entry of a dropped or pasted list that is not sent, and why (UTF-8,
// for the user).
struct PassedOver {
  QString name;
  QString reason;
};

// What a drop or a paste names: the local paths, in order, whatever they
// are (the sender checks each), and the entries that name no file of this
// machine. Only file: URLs with no host or "localhost" and an absolute path
// are local.
struct FileList {
  QStringList paths;
  QList<PassedOver> passed_over;
};
FileList ReadFileList(const QMimeData* mime);

// The existing regular local files a drop or a paste names, in order.
QStringList LocalFiles(const QMimeData* mime);

// Why path cannot be sent as a file: empty for a regular file (or a link
// to one), else that it is missing, a folder, or no regular file (a FIFO, a
// device, a socket). Never opens it.
QString WhyNotAFile(const QString& path);

// Of paths, those that are regular files now.
QStringList ExistingFiles(const QStringList& paths);

}  // namespace mirvo::dragdrop
