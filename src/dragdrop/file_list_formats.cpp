#include "dragdrop/file_list_formats.h"

#include <QFileInfo>
#include <QMimeData>
#include <QUrl>

namespace mirvo::dragdrop {

QStringList FileListFormats(bool cut) {
  QStringList formats{kUriList, kPlainText, kGnomeCopiedFiles};
  if (cut) formats << kKdeCutSelection;
  return formats;
}

void FillFileList(QMimeData& mime, const QStringList& paths, bool cut) {
  QByteArray uris, gnome(cut ? "cut" : "copy");
  QStringList plain;
  for (const QString& path : paths) {
    const QByteArray url = QUrl::fromLocalFile(path).toEncoded();
    uris += url + "\r\n";
    gnome += "\n" + url;
    plain << path;
  }
  mime.setData(kUriList, uris);
  mime.setData(kPlainText, plain.join('\n').toUtf8());
  mime.setData(kGnomeCopiedFiles, gnome);
  // Absent means a copy to KDE; "0" is not written by its own file manager.
  if (cut) mime.setData(kKdeCutSelection, "1");
}

namespace {

// One URL a line. Some file managers end the list with a NUL byte.
QList<QUrl> ParseUrls(const QByteArray& text, qsizetype skip_lines) {
  QList<QUrl> urls;
  const QList<QByteArray> lines = text.split('\n');
  for (qsizetype i = skip_lines; i < lines.size(); ++i) {
    QByteArray line = lines[i];
    if (const qsizetype nul = line.indexOf('\0'); nul >= 0) line.truncate(nul);
    line = line.trimmed();
    if (!line.isEmpty() && !line.startsWith('#')) urls << QUrl::fromEncoded(line);
  }
  return urls;
}

QList<QUrl> ListedUrls(const QMimeData* mime) {
  if (mime->hasFormat(kUriList)) return ParseUrls(mime->data(kUriList), 0);
  // The first line is the operation, not a file.
  if (mime->hasFormat(kGnomeCopiedFiles)) return ParseUrls(mime->data(kGnomeCopiedFiles), 1);
  return {};
}

}  // namespace

bool HasFileList(const QMimeData* mime) {
  return mime && (mime->hasFormat(kUriList) || mime->hasFormat(kGnomeCopiedFiles));
}

QStringList LocalFiles(const QMimeData* mime) {
  QStringList paths;
  if (!mime) return paths;
  for (const QUrl& url : ListedUrls(mime))
    if (url.isLocalFile()) paths << url.toLocalFile();
  return ExistingFiles(paths);
}

QStringList ExistingFiles(const QStringList& paths) {
  QStringList files;
  for (const QString& path : paths)
    if (QFileInfo(path).isFile()) files << path;
  return files;
}

}  // namespace mirvo::dragdrop
