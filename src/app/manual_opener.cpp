#include "app/manual_opener.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTextStream>
#include <QUrl>
#include <algorithm>

#include "app/message_box.h"
#include "core/paths.h"

namespace mirvo::app {

namespace {

constexpr char kPdfType[] = "application/pdf";

// A desktop entry, MIME cache or mimeapps.list that names a PDF handler.
bool NamesPdfHandler(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return false;
  QTextStream in(&file);
  const QString assigned = QString(kPdfType) + "=";
  QString line;
  while (in.readLineInto(&line)) {
    if (line.startsWith(assigned) && line.size() > assigned.size()) return true;
    if (line.startsWith("MimeType=") && line.mid(9).split(';').contains(kPdfType)) return true;
  }
  return false;
}

}  // namespace

ManualOpener::ManualOpener(QObject* parent) : QObject(parent), viewer_(OpenWithDesktopViewer) {
  setObjectName("manual_opener");
}

QStringList ManualOpener::Places() {
  const QString dir = QString::fromStdString(ProgramDir());
  const QString name = "取扱説明書.pdf";
  return {dir + "/" + name, QDir::cleanPath(dir + "/../share/doc/mirvo/" + name)};
}

int ManualOpener::Open() {
  const QStringList places = Places();
  for (const QString& path : places) {
    if (!QFile::exists(path)) continue;
    if (viewer_(path)) return 0;
    ShowMessage(QString("取扱説明書を表示するには、PDF を表示するプログラムが必要です。\n取扱説明書はここにあります：\n%1")
                    .arg(path));
    return -1;
  }
  ShowMessage(QString("ヘルプファイル\n%1\nが見つかりませんでした。").arg(places.join("\n")));
  return -1;
}

bool DesktopShowsPdf() {
  QStringList lists;
  for (const QString& dir : QStandardPaths::standardLocations(QStandardPaths::GenericConfigLocation))
    lists << dir + "/mimeapps.list";
  for (const QString& dir : QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation)) {
    lists << dir + "/mimeapps.list" << dir + "/mimeinfo.cache";
    for (const QString& entry : QDir(dir).entryList({"*.desktop"}, QDir::Files)) lists << dir + "/" + entry;
  }
  return std::any_of(lists.begin(), lists.end(), NamesPdfHandler);
}

bool OpenWithDesktopViewer(const QString& pdf_path) {
  // Without a viewer the desktop's opener still starts and fails unseen.
  return DesktopShowsPdf() && QDesktopServices::openUrl(QUrl::fromLocalFile(pdf_path));
}

}  // namespace mirvo::app
