#include "app/app_resources.h"

#include <QApplication>
#include <QFile>
#include <QFontInfo>
#include <QFontMetrics>
#include <QHash>
#include <QLibraryInfo>
#include <QListWidget>
#include <QLocale>
#include <QTranslator>
#include <memory>
#include <QMimeDatabase>
#include <QPainter>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QSvgRenderer>

#include "text/cp932.h"

// The pictures live in a static library: their registration must be
// referenced to be linked in.
static void InitPictures() { Q_INIT_RESOURCE(mirvo); }

namespace mirvo::app {
namespace {

constexpr const char* kAccent = "#2f6db5";
constexpr const char* kHotAccent = "#e07b00";

struct FileType {
  QString name;
  QIcon icon;
};

void PrepareIconTheme() {
  static bool done = false;
  if (done) return;
  done = true;
  // Offscreen and bare X servers name no theme; the installed one serves.
  QStringList paths = QIcon::themeSearchPaths();
  if (!paths.contains("/usr/share/icons")) paths << "/usr/share/icons";
  QIcon::setThemeSearchPaths(paths);
  if (QIcon::themeName().isEmpty() || QIcon::themeName() == "hicolor") QIcon::setThemeName("Adwaita");
}

const FileType& LookUp(const QString& extension) {
  static QHash<QString, FileType> cache;
  static QMimeDatabase db;
  auto it = cache.find(extension);
  if (it != cache.end()) return *it;
  PrepareIconTheme();
  const QMimeType mime = db.mimeTypeForFile("x" + extension, QMimeDatabase::MatchExtension);
  FileType type;
  // The comment comes in the default locale's language: ask for Japanese.
  const QLocale locale;
  QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
  type.name = mime.comment().trimmed().left(80);
  QLocale::setDefault(locale);
  type.icon = QIcon::fromTheme(mime.iconName(), QIcon::fromTheme(mime.genericIconName()));
  if (type.icon.isNull()) type.icon = QIcon::fromTheme("text-x-generic");
  return *cache.insert(extension, type);
}

}  // namespace

// Dialog buttons as the desktop's own dialogs have them: some styles put
// an icon on every OK and Cancel.
class PlainButtonsStyle : public QProxyStyle {
 public:
  using QProxyStyle::QProxyStyle;
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* returned) const override {
    if (hint == SH_DialogButtonBox_ButtonsHaveIcons) return 0;
    return QProxyStyle::styleHint(hint, option, widget, returned);
  }
};

void ApplyAppFont() {
  for (const char* family : {"ＭＳ Ｐゴシック", "MS PGothic"})
    QFont::insertSubstitution(QString::fromUtf8(family), "IPAPGothic");
  QApplication::setFont(AppFont());
}

void ApplyDesktopHabits() {
  // Docks and task bars match the window to its launcher by this name.
  QGuiApplication::setDesktopFileName("jp.zqr.mirvo");
  QApplication::setStyle(new PlainButtonsStyle(QStyleFactory::create(QApplication::style()->name())));
}

bool LoadQtJapanese() {
  static QTranslator* translator = nullptr;
  if (translator) return true;
  auto loaded = std::make_unique<QTranslator>(qApp);
  if (!loaded->load("qtbase_ja", QLibraryInfo::path(QLibraryInfo::TranslationsPath))) return false;
  translator = loaded.release();  // owned by the application
  QCoreApplication::installTranslator(translator);
  return true;
}

QFont AppFont() {
  // The desktop's font and size as the toolkit found them at start, so that
  // its scaling and the user's choice hold; in pixels, for the layouts.
  static const QFont kDesktop = [] {
    QFont font = QApplication::font();
    font.setPixelSize(QFontInfo(font).pixelSize());
    return font;
  }();
  return kDesktop;
}

void FixSizeForFont(QWidget* window, QSize usual) { window->setFixedSize(usual.expandedTo(window->minimumSizeHint())); }

void SetRowHeightToFont(QListWidget* list) {
  // The font's whole height, descenders included: underscores stay seen.
  list->setUniformItemSizes(true);
  list->setStyleSheet(QString("QListWidget::item { height: %1px; }").arg(QFontMetrics(list->font()).height() + 2));
}

QPixmap SvgPixmap(const QString& name, QSize size, bool hot) {
  static const bool kRegistered = (InitPictures(), true);
  (void)kRegistered;
  QFile file(":/mirvo/" + name + ".svg");
  if (!file.open(QIODevice::ReadOnly)) return {};
  QByteArray svg = file.readAll();
  if (hot) svg.replace(kAccent, kHotAccent);
  QSvgRenderer renderer(svg);
  const qreal ratio = qApp ? qApp->devicePixelRatio() : 1.0;
  QPixmap pixmap(size * ratio);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  renderer.render(&painter);
  painter.end();
  pixmap.setDevicePixelRatio(ratio);
  return pixmap;
}

QIcon ToolIcon(const QString& name) {
  QIcon icon;
  icon.addPixmap(SvgPixmap(name, QSize(20, 20)), QIcon::Normal);
  icon.addPixmap(SvgPixmap(name, QSize(20, 20), true), QIcon::Active);
  return icon;
}

QString FileExtension(const QString& name) {
  const int dot = name.lastIndexOf('.');
  if (dot < 0) return {};
  for (int i = dot + 1; i < name.size(); ++i)
    if (name[i] == '\\' || name[i] == ':') return {};
  return name.mid(dot);
}

QString ShellTypeName(const QString& extension) { return LookUp(extension).name; }
QIcon ShellIcon(const QString& extension) { return LookUp(extension).icon; }

QString FromCp932(std::string_view cp932) {
  bool ascii = true;
  for (char c : cp932)
    if (static_cast<unsigned char>(c) >= 0x80) {
      ascii = false;
      break;
    }
  if (ascii) return QString::fromLatin1(cp932.data(), static_cast<qsizetype>(cp932.size()));
  if (auto utf8 = text::Cp932ToUtf8(cp932)) return QString::fromStdString(*utf8);
  QString shown;
  text::ForEachChar(cp932, [&](std::size_t pos, std::size_t len) {
    const std::string_view ch = cp932.substr(pos, len);
    if (auto utf8 = text::Cp932ToUtf8(ch)) {
      shown += QString::fromStdString(*utf8);
    } else {
      for (char b : ch) shown += QString::asprintf("<%02X>", static_cast<unsigned char>(b));
    }
  });
  return shown;
}

bool ToCp932(const QString& text, std::string& out) {
  auto converted = text::Utf8ToCp932(text.toStdString());
  if (!converted) return false;
  out = std::move(*converted);
  return true;
}

}  // namespace mirvo::app
