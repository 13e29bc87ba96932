#include "dragdrop/file_list_formats.h"

#include <QFileInfo>
#include <QMimeData>
#include <QUrl>
#include <optional>

namespace mirvo::dragdrop {

QStringList FileListFormats(bool cut) {
  QStringList formats{kUriList, kPlainText, kGnomeCopiedFiles, kMateCopiedFiles};
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
  mime.setData(kMateCopiedFiles, gnome);
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
  for (const char* format : {kGnomeCopiedFiles, kMateCopiedFiles})
    if (mime->hasFormat(format)) return ParseUrls(mime->data(format), 1);
  return {};
}

// The path of a file of this machine, or nothing: a host other than this
// one, or a path relative to who knows where, names no file here.
std::optional<QString> LocalPath(const QUrl& url) {
  if (!url.isValid() || url.scheme().compare("file", Qt::CaseInsensitive) != 0) return std::nullopt;
  if (!url.host().isEmpty() && url.host().compare("localhost", Qt::CaseInsensitive) != 0) return std::nullopt;
  const QString path = url.path(QUrl::FullyDecoded);
  if (!path.startsWith('/') || path.contains(QChar(0))) return std::nullopt;
  return path;
}

}  // namespace

bool HasFileList(const QMimeData* mime) {
  return mime && (mime->hasFormat(kUriList) || mime->hasFormat(kGnomeCopiedFiles) || mime->hasFormat(kMateCopiedFiles));
}

FileList ReadFileList(const QMimeData* mime) {
  FileList list;
  if (!mime) return list;
  for (const QUrl& url : ListedUrls(mime)) {
    if (std::optional<QString> path = LocalPath(url)) {
      list.paths << *path;
      continue;
    }
    const QString name = url.fileName().isEmpty() ? url.toDisplayString() : url.fileName();
    list.passed_over.push_back({name, QString::fromUtf8("この PC のファイルではありません")});
  }
  return list;
}

QStringList LocalFiles(const QMimeData* mime) { return ExistingFiles(ReadFileList(mime).paths); }

QString WhyNotAFile(const QString& path) {
  const QFileInfo info(path);
  if (!info.exists()) return QString::fromUtf8("ファイルが見つかりません");
  if (info.isDir()) return QString::fromUtf8("フォルダーです");
  if (!info.isFile()) return QString::fromUtf8("通常のファイルではありません");
  return {};
}

QStringList ExistingFiles(const QStringList& paths) {
  QStringList files;
  for (const QString& path : paths)
    if (QFileInfo(path).isFile()) files << path;
  return files;
}

}  // namespace mirvo::dragdrop
