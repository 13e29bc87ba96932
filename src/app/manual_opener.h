// The help command's road to the manual: 取扱説明書.pdf beside the program
// (a build, an unpacked copy) or where an install puts it, handed to the
// desktop's PDF viewer. When the manual is missing or nothing on the
// desktop shows PDF files, the user is told where it is and what to do.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

namespace mirvo::app {

class ManualOpener : public QObject {
  Q_OBJECT

 public:
  // Shows a PDF file; false when nothing could.
  using Viewer = std::function<bool(const QString& pdf_path)>;

  explicit ManualOpener(QObject* parent = nullptr);

  // Where the manual is looked for, in order.
  static QStringList Places();
  // 0 when a viewer took the manual; -1 after a message when it is missing
  // or could not be shown.
  int Open();
  // Tests show the manual with a viewer of their own.
  void SetViewer(Viewer viewer) { viewer_ = std::move(viewer); }

 private:
  Viewer viewer_;
};

// True when an installed application says it opens PDF files (its desktop
// entry, the desktop's MIME cache or the user's choice of application).
bool DesktopShowsPdf();
// The desktop's own viewer; false when there is none or it did not start.
bool OpenWithDesktopViewer(const QString& pdf_path);

}  // namespace mirvo::app
