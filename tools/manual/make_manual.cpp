// Makes the user manual's PDF from its Markdown text: A4 pages with page
// numbers, the Japanese font embedded, pictures fitted to the text width.
//   mirvo-manual INPUT.md OUTPUT.pdf
// Pictures are looked for beside INPUT.md.
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPageLayout>
#include <QPdfWriter>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFragment>
#include <QTextImageFormat>
#include <cstdio>
#include <vector>

namespace {

constexpr char kFont[] = "IPAPGothic";
// Text width of an A4 page with 20 mm margins, in the document's 96 dpi units.
constexpr double kTextWidth = (210.0 - 40.0) / 25.4 * 96.0;

int Fail(const QString& text) {
  std::fprintf(stderr, "mirvo-manual: %s\n", qPrintable(text));
  return 1;
}

// Loads every picture the text names and fits it to the text width. False
// with the name when one is missing: a manual without its pictures is not
// made.
bool AddPictures(QTextDocument& doc, const QString& dir, QString& missing) {
  struct Picture {
    int position, length;
    QTextImageFormat format;
  };
  std::vector<Picture> pictures;
  for (QTextBlock block = doc.begin(); block.isValid(); block = block.next())
    for (auto it = block.begin(); !it.atEnd(); ++it)
      if (it.fragment().charFormat().isImageFormat())
        pictures.push_back({it.fragment().position(), it.fragment().length(),
                            it.fragment().charFormat().toImageFormat()});
  for (Picture& p : pictures) {
    const QString name = p.format.name();
    const QImage image(dir + "/" + name);
    if (image.isNull()) {
      missing = name;
      return false;
    }
    doc.addResource(QTextDocument::ImageResource, QUrl(name), image);
    const double width = std::min<double>(image.width(), kTextWidth);
    p.format.setWidth(width);
    p.format.setHeight(width * image.height() / image.width());
    QTextCursor cursor(&doc);
    cursor.setPosition(p.position);
    cursor.setPosition(p.position + p.length, QTextCursor::KeepAnchor);
    cursor.setCharFormat(p.format);
  }
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  // Runs while building, where there is no display.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  if (argc != 3) return Fail("usage: mirvo-manual INPUT.md OUTPUT.pdf");
  const QString input = QString::fromLocal8Bit(argv[1]);
  const QString output = QString::fromLocal8Bit(argv[2]);

  QFile file(input);
  if (!file.open(QIODevice::ReadOnly)) return Fail(input + ": " + file.errorString());
  const QString text = QString::fromUtf8(file.readAll());

  const QFont font(kFont, 10);
  if (QFontInfo(font).family() != kFont) return Fail(QString("font %1 is not installed").arg(kFont));

  QTextDocument doc;
  doc.setDefaultFont(font);
  doc.setMarkdown(text);
  QString missing;
  if (!AddPictures(doc, QFileInfo(input).absolutePath(), missing)) return Fail("picture not found: " + missing);

  QPdfWriter writer(output);
  writer.setTitle(QString::fromUtf8("Mirvo 取扱説明書"));
  writer.setCreator("mirvo-manual");
  writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(20, 20, 20, 20),
                                   QPageLayout::Millimeter));
  doc.print(&writer);
  if (!QFileInfo(output).size()) return Fail(output + ": nothing written");
  return 0;
}
