// Lists of local files as the desktop's file managers put them on the
// clipboard and into drags: text/uri-list with plain text beside it,
// x-special/gnome-copied-files ("copy" or "cut", then the URLs) and
// application/x-kde-cutselection ("1" for a cut).
#pragma once

#include <QStringList>

class QMimeData;

namespace mirvo::dragdrop {

inline constexpr char kUriList[] = "text/uri-list";
inline constexpr char kPlainText[] = "text/plain";
inline constexpr char kGnomeCopiedFiles[] = "x-special/gnome-copied-files";
inline constexpr char kKdeCutSelection[] = "application/x-kde-cutselection";

// The formats FillFileList writes.
QStringList FileListFormats(bool cut);

// Writes paths (absolute local paths) in every format.
void FillFileList(QMimeData& mime, const QStringList& paths, bool cut);

// Whether mime carries a list of files in a format read by LocalFiles.
bool HasFileList(const QMimeData* mime);

// The existing regular local files a drop or a paste names, in order; URLs
// of other machines, folders and paths that are gone are passed over.
QStringList LocalFiles(const QMimeData* mime);

// Of paths, those that are regular files now.
QStringList ExistingFiles(const QStringList& paths);

}  // namespace mirvo::dragdrop
