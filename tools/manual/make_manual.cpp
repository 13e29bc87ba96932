// Makes the user manual's PDF from its Markdown text: A4 pages with page
// numbers, the Japanese font embedded, pictures fitted to the text width,
// tables with padded cells whose rows stay whole and whose header starts
// each page again.
//   mirvo-manual INPUT.md OUTPUT.pdf
// Pictures are looked for beside INPUT.md. Qt's PDF writer tags no
// structure (headings, reading order); the text is written in reading
// order, in one column.
#include <QAbstractTextDocumentLayout>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPageLayout>
#include <QPainter>
#include <QPdfWriter>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QTextFragment>
#include <QTextImageFormat>
#include <QTextTable>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

constexpr char kFont[] = "IPAPGothic";
// Page margins and the text width between them on A4, in the document's
// 96 dpi units (the layout scales them to the PDF's resolution).
constexpr double kMargin = 20.0 / 25.4 * 96.0;
constexpr double kCellPadding = 4;
constexpr double kTextWidth = 210.0 / 25.4 * 96.0 - 2 * kMargin;

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

// Tables read as tables on paper: padded cells, a thin rule between rows,
// a shaded header row that starts each page again where a table goes on.
const QColor kRuleColour(0xa0, 0xa0, 0xa0);

void FormatTables(QTextFrame* frame) {
  for (QTextFrame* child : frame->childFrames()) {
    FormatTables(child);
    auto* table = qobject_cast<QTextTable*>(child);
    if (!table) continue;
    QTextTableFormat format = table->format();
    format.setCellPadding(kCellPadding);
    format.setCellSpacing(0);
    format.setBorderCollapse(true);
    format.setBorder(0);
    format.setBottomMargin(8);
    format.setHeaderRowCount(1);
    format.setWidth(QTextLength(QTextLength::PercentageLength, 100));
    table->setFormat(format);
    for (int row = 0; row < table->rows(); ++row)
      for (int column = 0; column < table->columns(); ++column) {
        QTextTableCell cell = table->cellAt(row, column);
        // Code and Japanese text sit on one line across a row.
        QTextTableCellFormat cell_format = cell.format().toTableCellFormat();
        cell_format.setVerticalAlignment(QTextCharFormat::AlignMiddle);
        cell_format.setTopBorder(0.75);
        cell_format.setBottomBorder(0.75);
        cell_format.setTopBorderStyle(QTextFrameFormat::BorderStyle_Solid);
        cell_format.setBottomBorderStyle(QTextFrameFormat::BorderStyle_Solid);
        cell_format.setTopBorderBrush(kRuleColour);
        cell_format.setBottomBorderBrush(kRuleColour);
        if (row == 0) cell_format.setBackground(QColor(0xe8, 0xe8, 0xe8));
        cell.setFormat(cell_format);
        if (row > 0) continue;
        // Headers line up with their column's text, not centred over it.
        QTextCursor cursor = cell.firstCursorPosition();
        QTextBlockFormat block = cursor.blockFormat();
        block.setAlignment(Qt::AlignLeft);
        cursor.setBlockFormat(block);
      }
  }
}

// The body rows of every table in document order, with where their text
// starts and ends.
struct RowSpan {
  QTextTable* table;
  int row;
  double top, bottom;
};

void CollectRows(QTextDocument& doc, QTextFrame* frame, std::vector<RowSpan>& rows) {
  for (QTextFrame* child : frame->childFrames()) {
    if (auto* table = qobject_cast<QTextTable*>(child)) {
      for (int row = table->format().headerRowCount(); row < table->rows(); ++row) {
        RowSpan span{table, row, 1e300, -1e300};
        for (int column = 0; column < table->columns(); ++column) {
          const QTextTableCell cell = table->cellAt(row, column);
          for (QTextFrame::iterator it = cell.begin(); !it.atEnd(); ++it) {
            const QRectF rect = doc.documentLayout()->blockBoundingRect(it.currentBlock());
            span.top = std::min(span.top, rect.top());
            span.bottom = std::max(span.bottom, rect.bottom());
          }
        }
        rows.push_back(span);
      }
    }
    CollectRows(doc, child, rows);
  }
}

// Moves rows first.. of a table into a copy of it that starts a new page
// with the same header.
void MoveRowsToNextPage(QTextTable& table, int first) {
  const int header_rows = table.format().headerRowCount();
  QTextTableFormat format = table.format();
  format.setPageBreakPolicy(QTextFormat::PageBreak_AlwaysBefore);
  QTextCursor after(table.document());
  after.setPosition(table.lastPosition() + 1);
  QTextTable* rest = after.insertTable(header_rows + table.rows() - first, table.columns(), format);
  auto copy_row = [&](int from, int to) {
    for (int column = 0; column < table.columns(); ++column) {
      const QTextTableCell source = table.cellAt(from, column);
      QTextTableCell target = rest->cellAt(to, column);
      target.setFormat(source.format());
      QTextCursor selection = source.firstCursorPosition();
      selection.setPosition(source.lastCursorPosition().position(), QTextCursor::KeepAnchor);
      QTextCursor into = target.firstCursorPosition();
      into.setBlockFormat(source.firstCursorPosition().blockFormat());
      into.insertFragment(selection.selection());
    }
  };
  for (int row = 0; row < header_rows; ++row) copy_row(row, row);
  for (int row = first; row < table.rows(); ++row) copy_row(row, header_rows + row - first);
  table.removeRows(first, table.rows() - first);
}

// The layout moves each line of a cell that reaches a page's end to the
// next page, which cuts a row of several lines in two (it moves a row whole
// only when no cell's first line fits). A cut row starts the next page
// instead, below the table's header; when it is the table's first row, the
// whole table does. A row taller than half a page is left to be cut.
void KeepRowsWhole(QTextDocument& doc) {
  const double page = doc.pageSize().height();
  // Each pass moves one row and measures again; the bound only guards
  // against a layout that will not move.
  for (int pass = 0; pass < 1000; ++pass) {
    std::vector<RowSpan> rows;
    CollectRows(doc, doc.rootFrame(), rows);
    const auto cut = std::find_if(rows.begin(), rows.end(), [page](const RowSpan& span) {
      const double next_page = (std::floor(span.top / page) + 1) * page;
      return span.bottom > next_page && span.bottom - span.top <= page / 2;
    });
    if (cut == rows.end()) return;
    QTextTable& table = *cut->table;
    if (cut->row > table.format().headerRowCount()) {
      MoveRowsToNextPage(table, cut->row);
    } else {
      QTextTableFormat format = table.format();
      if (format.pageBreakPolicy() & QTextFormat::PageBreak_AlwaysBefore) return;
      format.setPageBreakPolicy(QTextFormat::PageBreak_AlwaysBefore);
      table.setFormat(format);
    }
  }
}

// Each page of the laid-out document, with its number at the foot.
bool PrintPages(QTextDocument& doc, QPdfWriter& writer) {
  QPainter painter;
  if (!painter.begin(&writer)) return false;
  const QSizeF page = doc.pageSize();
  const double margin = kMargin * writer.logicalDpiY() / 96.0;
  for (int number = 1; number <= doc.pageCount(); ++number) {
    if (number > 1) writer.newPage();
    painter.save();
    painter.translate(0, -(number - 1) * page.height());
    doc.drawContents(&painter, QRectF(QPointF(0, (number - 1) * page.height()), page));
    painter.restore();
    painter.setFont(QFont(doc.defaultFont(), &writer));
    const QRectF foot(0, page.height() - margin, page.width() - margin, margin / 2);
    painter.drawText(foot, Qt::AlignRight | Qt::AlignVCenter, QString::number(number));
  }
  return painter.end();
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

  QPdfWriter writer(output);
  writer.setTitle(QString::fromUtf8("Mirvo 取扱説明書"));
  writer.setCreator("mirvo-manual");
  // The margins are the text frame's, so that the layout below is the one
  // printed.
  writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF()));

  QTextDocument doc;
  doc.documentLayout()->setPaintDevice(&writer);
  doc.setDefaultFont(font);
  doc.setMarkdown(text);
  QString missing;
  if (!AddPictures(doc, QFileInfo(input).absolutePath(), missing)) return Fail("picture not found: " + missing);
  FormatTables(doc.rootFrame());
  QTextFrameFormat page_frame = doc.rootFrame()->frameFormat();
  page_frame.setMargin(kMargin);
  doc.rootFrame()->setFrameFormat(page_frame);
  doc.setPageSize(QSizeF(writer.width(), writer.height()));
  KeepRowsWhole(doc);
  if (!PrintPages(doc, writer)) return Fail(output + ": cannot write");
  if (!QFileInfo(output).size()) return Fail(output + ": nothing written");
  return 0;
}
