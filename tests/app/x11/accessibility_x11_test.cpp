// What a screen reader hears of Mirvo over the real accessibility bus: the
// mirvo program on Xvfb, connected to a simulated handset, driven by
// xdotool's keys; atspi_probe.py listens as a screen reader does and reads
// the objects back. Each view must say one item per file, named by the
// whole name, and each arrow key one focus change, from the view shown.
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>
#include <algorithm>

#include "app_test_support.h"

using namespace mirvo::apptest;
namespace fs = std::filesystem;

namespace {

const QString kView = "電話機のファイル";
constexpr int kFiles = 10;
constexpr int kColumns = 6;

}  // namespace

class AccessibilityX11Test : public QObject {
  Q_OBJECT

  std::unique_ptr<AppEnv> env;
  QProcess probe, mirvo;
  QByteArray buffer;
  QList<QJsonObject> said, replies;
  QStringList names;  // the files in the order listed

  void Read() {
    buffer += probe.readAllStandardOutput();
    for (qsizetype end = buffer.indexOf('\n'); end >= 0; end = buffer.indexOf('\n')) {
      const QJsonObject line = QJsonDocument::fromJson(buffer.left(end)).object();
      buffer.remove(0, end + 1);
      if (line.contains("focus"))
        said << line["focus"].toObject();
      else
        replies << line;
    }
  }
  QJsonObject Ask(const QString& command) {
    replies.clear();
    probe.write((command + "\n").toUtf8());
    if (!QTest::qWaitFor([&] { return !replies.isEmpty(); }, 20000)) return {};
    return replies.takeFirst();
  }
  // The view of that role that shows, once it has items children.
  QJsonObject ShownView(const QString& role, int items) {
    QJsonObject view;
    (void)QTest::qWaitFor(
        [&] {
          view = Ask(QString("find %1 %2").arg(role, kView))["found"].toObject();
          return view["count"].toInt() == items;
        },
        10000);
    return view;
  }
  static bool Key(const QString& key) {
    QProcess xdotool;
    xdotool.start("xdotool", {"key", key});
    return xdotool.waitForFinished(10000) && xdotool.exitCode() == 0;
  }
  // The files' items that gained the focus, from any view.
  QList<QJsonObject> ItemsSaid() const {
    QList<QJsonObject> items;
    for (const QJsonObject& focus : said)
      if (focus["role"] == "list item" || focus["role"] == "table cell") items << focus;
    return items;
  }
  bool MenuOpened() const {
    return std::any_of(said.begin(), said.end(), [](const QJsonObject& f) { return f["role"] == "menu item"; });
  }

 private slots:
  void initTestCase() {
    env = std::make_unique<AppEnv>();
    const fs::path root = fs::path(env->dir.path()) / "handset";
    MakeFile(root / "mail01.eml", 1048576, 2026, 12, 8, 0, 21);
    for (int i = 2; i < kFiles; ++i) MakeFile(root / QString("mail%1.eml").arg(i, 2, 10, QChar('0')).toStdString(), 100);
    MakeFile(root / "写真.jpg", 5);
    env->StartHandset(3, root);
    env->WriteConfig("COM=COM3\r\nPASSWORD=0000\r\nVIEW_STYLE=3\r\n");

    connect(&probe, &QProcess::readyReadStandardOutput, this, &AccessibilityX11Test::Read);
    probe.start(MIRVO_ATSPI_PROBE, {"Mirvo"});
    // Listening before the program starts: it sends only what is listened for.
    QVERIFY(QTest::qWaitFor([&] { return !replies.isEmpty(); }, 20000));
    QCOMPARE(replies.takeFirst()["ready"].toBool(), true);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "xcb");
    environment.insert("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    mirvo.setProcessEnvironment(environment);
    mirvo.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    mirvo.start(MIRVO_PROGRAM, {});
    QVERIFY(mirvo.waitForStarted(10000));
    QVERIFY(QTest::qWaitFor([&] { return Ask("app")["app"].toBool(); }, 20000));
    // No window manager: the window is given the keyboard by hand, which
    // connects it; the list is there once the details view has every file.
    QElapsedTimer clock;
    clock.start();
    QJsonObject view;
    while (clock.elapsed() < 30000 && view["count"].toInt() != (kFiles + 1) * kColumns) {
      QProcess::execute("xdotool", {"search", "--onlyvisible", "--name", "^Mirvo$", "windowfocus"});
      (void)QTest::qWaitFor(
          [&] {
            view = Ask("find tree " + kView)["found"].toObject();
            return view["count"].toInt() == (kFiles + 1) * kColumns;
          },
          2000);
    }
    QCOMPARE(view["count"].toInt(), (kFiles + 1) * kColumns);
    // Connecting moves the hidden folder tree's current folder: unheard.
    for (const QJsonObject& focus : said)
      QVERIFY2(focus["parent_showing"].toBool(), qPrintable(focus["role"].toString() + " " + focus["name"].toString()));
    const QJsonArray cells = view["items"].toArray();
    for (int row = 1; row <= kFiles; ++row) names << cells[row * kColumns]["name"].toString();
    QStringList made = names;
    made.sort();
    QCOMPARE(made.first(), QString("mail01.eml"));
    QCOMPARE(made.last(), QString("写真.jpg"));
  }

  void cleanupTestCase() {
    mirvo.kill();
    mirvo.waitForFinished(10000);
    probe.closeWriteChannel();
    if (!probe.waitForFinished(10000)) probe.kill();
    env.reset();
  }

  void arrowsSayEachFileOnce_data() {
    QTest::addColumn<QString>("menu_key");
    QTest::addColumn<QString>("role");
    QTest::addColumn<QString>("next");
    // The details view first: the window starts in it.
    QTest::newRow("details") << "d" << "tree" << "Down";
    QTest::newRow("large icons") << "g" << "list" << "Right";
    QTest::newRow("small icons") << "m" << "list" << "Right";
    QTest::newRow("list") << "l" << "list" << "Down";
  }

  void arrowsSayEachFileOnce() {
    QFETCH(QString, menu_key);
    QFETCH(QString, role);
    QFETCH(QString, next);
    // Picked from the View menu, as a keyboard user does.
    said.clear();
    QVERIFY(Key("alt+v"));
    QVERIFY(QTest::qWaitFor([&] { return MenuOpened(); }, 10000));
    QVERIFY(Key(menu_key));
    const bool table = role == "tree";
    const int columns = table ? kColumns : 1, first = table ? kColumns : 0;
    const QJsonObject view = ShownView(role, first + kFiles * columns);
    QCOMPARE(view["count"].toInt(), first + kFiles * columns);
    // One item per file: its whole name, the other columns its description.
    const QJsonArray items = view["items"].toArray();
    QStringList listed;
    for (int row = 0; row < kFiles; ++row) listed << items[first + row * columns]["name"].toString();
    QCOMPARE(listed, names);
    const QJsonObject mail = items[first + static_cast<int>(names.indexOf("mail01.eml")) * columns].toObject();
    QVERIFY2(mail["description"].toString().startsWith("1,048,576 B、"), qPrintable(mail["description"].toString()));
    QVERIFY(mail["description"].toString().endsWith("、2026/12/08 00:21、保護設定 OFF、コピーガード OFF"));

    // Each key says the file it moved to, once, and only from the view shown.
    // What the view said as the menu gave it the focus may come late on a
    // busy bus: End is heard first, and only what comes after it counts.
    QVERIFY(Key("End"));
    QVERIFY2(QTest::qWaitFor(
                 [&] {
                   const auto items = ItemsSaid();
                   return !items.isEmpty() && items.last()["name"].toString() == names.last();
                 },
                 10000),
             "End");
    said.clear();
    const QStringList keys = {"Home", next, next, next, next, "End", "Home"};
    const QStringList expected = {names[0], names[1], names[2], names[3], names[4], names.last(), names[0]};
    for (int i = 0; i < keys.size(); ++i) {
      QVERIFY(Key(keys[i]));
      QVERIFY2(QTest::qWaitFor([&] { return ItemsSaid().size() > i; }, 10000), qPrintable(keys[i]));
    }
    QStringList heard;
    for (const QJsonObject& item : ItemsSaid()) {
      heard << item["name"].toString();
      QCOMPARE(item["role"].toString(), table ? QString("table cell") : QString("list item"));
      QVERIFY2(item["parent_showing"].toBool(), qPrintable(item["name"].toString()));
    }
    QCOMPARE(heard, expected);
  }

  // The band of menus is a menu bar of menus; whatever the status bar
  // shows says what it is, and its progress bar has a name even idle.
  void menusAndStatusBarAreToldWhatTheyAre() {
    const QJsonObject band = Ask("find menu_bar")["found"].toObject();
    QStringList menus;
    for (const QJsonValue& item : band["items"].toArray()) {
      QCOMPARE(item["role"].toString(), QString("menu item"));
      QCOMPARE(item["count"].toInt(), 1);  // the menu it opens
      menus << item["name"].toString();
    }
    QCOMPARE(menus, (QStringList{"ファイル(F)", "編集(E)", "表示(V)", "ヘルプ(H)"}));
    const QJsonObject status = Ask("find status_bar")["found"].toObject();
    QVERIFY(!status["items"].toArray().isEmpty());
    for (const QJsonValue& item : status["items"].toArray())
      if (item["showing"].toBool())
        QVERIFY2(!item["name"].toString().isEmpty() || !item["description"].toString().isEmpty(),
                 qPrintable(item["role"].toString()));
    const QJsonArray bars = Ask("all progress_bar")["all"].toArray();
    QCOMPARE(bars.size(), 1);
    QVERIFY(!bars[0]["showing"].toBool());
    QVERIFY(!bars[0]["name"].toString().isEmpty());
  }
};

QTEST_MAIN(AccessibilityX11Test)
#include "accessibility_x11_test.moc"
