// The main window: how it is built, started and closed, and its settings.
#include "app/main_window.h"

#include <QAction>
#include <QActionGroup>
#include <QTimer>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <cstdlib>

#include "app/app_resources.h"
#include "app/device_list_model.h"
#include "app/icon_cell_delegate.h"
#include "app/about_dialog.h"
#include "app/qt_ui_hooks.h"
#include "app/staging.h"
#include "app/status_panel.h"
#include "core/paths.h"
#include "protocol/protocol_engine.h"
#include "serial/serial_port.h"

namespace mirvo::app {
namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

}  // namespace

void StatusPanel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter_(painter, rect());
}

WaitCursor::WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }

void WaitCursor::Release() {
  if (!active_) return;
  active_ = false;
  QApplication::restoreOverrideCursor();
}

MainWindow::MainWindow(const QStringList& params, QWidget* parent)
    : QMainWindow(parent), serial_(std::make_unique<SerialPort>()) {
  setObjectName("FrmMain");
  SettingsDir = mirvo::SettingsDir();
  StagingDir = StagingDirPath();

  setWindowTitle("Mirvo");
  PendingUploads = params;

  // The window's line settings for the handset.
  SerialPort& port = *serial_;
  port.Bps = 115200;
  port.rxBuffSize = 8192;
  port.txBuffSize = 4096;
  port.ReadInterval = 180000;
  port.txTimeOut = 60000;
  port.rxTimeOut = 180000;
  port.OnOpen = [this](TNotifySource&) { SerialOpen(); };
  port.OnRXChar = [this](TNotifySource&) { SerialRXCHAR(); };
  port.OnHangUp = [this](TNotifySource&) { SerialHangUp(); };
  // Line-state changes need no action here, so they are not watched.

  engine_ = std::make_unique<ProtocolEngine>(port);
  engine_->On().handset_ended = [this] { HandsetEnded(); };

  CreateActions();
  CreateCoolBar();
  CreateCentre();
  CreateStatusBar();
  CreateTransferProgress();
  CreateDragDrop();

  qApp->installEventFilter(this);
  connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
    if (state == Qt::ApplicationActive) UpdateCommands();
  });

  LoadSettings();
  BuildFolderTree();
  RefreshFileView();
  UpdateCommands();
  ApplyViewStyle(ViewStyle);
}

MainWindow::~MainWindow() {
  qApp->removeEventFilter(this);
  if (QtUiHooks* hooks = QtUiHooks::Instance(); hooks && hooks->Window() == this) hooks->SetMainWindow(nullptr);
  // A hand-over still pending when the port closes must not reach a
  // window that is going away; the engine talks through the port, so it
  // goes first.
  serial_->OnRXChar = nullptr;
  serial_->OnOpen = nullptr;
  serial_->OnHangUp = nullptr;
  engine_.reset();
  serial_.reset();
}

static QAction* NewAction(QObject* parent, const char* name, const char* caption, QKeySequence key = {}) {
  auto* action = new QAction(QString::fromUtf8(caption), parent);
  action->setObjectName(name);
  if (!key.isEmpty()) action->setShortcut(key);
  return action;
}

void MainWindow::CreateActions() {
  miConnect = NewAction(this, "miConnect", "接続(&C)");
  miDisconnect = NewAction(this, "miDisconnect", "切断(&D)");
  miRefresh = NewAction(this, "miRefresh", "更新(&U)");
  miExit = NewAction(this, "miExit", "終了(&X)");
  miCut = NewAction(this, "miCut", "切り取り(&X)", QKeySequence(Qt::CTRL | Qt::Key_X));
  miCopy = NewAction(this, "miCopy", "コピー(&C)", QKeySequence(Qt::CTRL | Qt::Key_C));
  miPaste = NewAction(this, "miPaste", "貼り付け(&V)", QKeySequence(Qt::CTRL | Qt::Key_V));
  miDelete = NewAction(this, "miDelete", "削除(&D)", QKeySequence(Qt::CTRL | Qt::Key_Delete));
  miSelectAll = NewAction(this, "miSelectAll", "全て選択(&A)", QKeySequence(Qt::CTRL | Qt::Key_A));
  miSearch = NewAction(this, "miSearch", "検索(&S)");
  miPassword = NewAction(this, "miPassword", "パスワード設定");
  miCOMPort = NewAction(this, "miCOMPort", "COMポート設定");
  miLargeIcon = NewAction(this, "miLargeIcon", "大きいアイコン");
  miSmallIcon = NewAction(this, "miSmallIcon", "小さいアイコン");
  miList = NewAction(this, "miList", "一覧");
  miDetail = NewAction(this, "miDetail", "詳細");
  miAppHelp = NewAction(this, "miAppHelp", "Mirvoのヘルプ(&H)");
  miAbout = NewAction(this, "miAbout", "バージョン情報(&A)");
  miCut1 = NewAction(this, "miCut1", "切り取り(&X)", QKeySequence(Qt::CTRL | Qt::Key_X));
  miCopy1 = NewAction(this, "miCopy1", "コピー(&C)", QKeySequence(Qt::CTRL | Qt::Key_C));
  miPaste1 = NewAction(this, "miPaste1", "貼り付け(&V)", QKeySequence(Qt::CTRL | Qt::Key_V));
  miDelete1 = NewAction(this, "miDelete1", "削除(&D)", QKeySequence(Qt::CTRL | Qt::Key_Delete));
  miSelectAll1 = NewAction(this, "miSelectAll1", "全て選択(&A)", QKeySequence(Qt::CTRL | Qt::Key_A));
  miLargeIcon2 = NewAction(this, "miLargeIcon2", "大きいアイコン");
  miSmallIcon2 = NewAction(this, "miSmallIcon2", "小さいアイコン");
  miList2 = NewAction(this, "miList2", "一覧");
  miDetail2 = NewAction(this, "miDetail2", "詳細");
  // One check mark per set of style items.
  for (auto set : {std::array{miLargeIcon, miSmallIcon, miList, miDetail},
                   std::array{miLargeIcon2, miSmallIcon2, miList2, miDetail2}}) {
    auto* group = new QActionGroup(this);
    for (QAction* a : set) {
      a->setCheckable(true);
      group->addAction(a);
    }
  }
  // The pop-up's items show the same keys as the menu's; the menu's own
  // items answer them, so the pop-up's keys act only inside the pop-up.
  for (QAction* a : {miCut1, miCopy1, miPaste1, miDelete1, miSelectAll1}) a->setShortcutContext(Qt::WidgetShortcut);
  addActions({miCut, miCopy, miPaste, miDelete, miSelectAll});

  auto menu = [this](const char* name, const char* title, std::initializer_list<QAction*> items) {
    auto* m = new QMenu(QString::fromUtf8(title), this);
    m->setObjectName(name);
    for (QAction* a : items) {
      if (a)
        m->addAction(a);
      else
        m->addSeparator();
    }
    connect(m, &QMenu::aboutToShow, this, &MainWindow::UpdateCommands);
    return m;
  };
  miFile = menu("miFile", "ファイル(&F)", {miConnect, miDisconnect, miRefresh, nullptr, miExit});
  miEdit = menu("miEdit", "編集(&E)",
                {miCut, miCopy, miPaste, miDelete, nullptr, miSelectAll, nullptr, miSearch, nullptr, miPassword,
                 miCOMPort});
  miView = menu("miView", "表示(&V)", {miLargeIcon, miSmallIcon, miList, miDetail});
  miHelp = menu("miHelp", "ヘルプ(&H)", {miAppHelp, miAbout});
  pmenuEdit = menu("pmenuEdit", "", {miCut1, miCopy1, miPaste1, miDelete1, nullptr, miSelectAll1});
  pmenuViewStyle = menu("pmenuViewStyle", "", {miLargeIcon2, miSmallIcon2, miList2, miDetail2});

  connect(miConnect, &QAction::triggered, this, [this] { Connect(); });
  connect(miDisconnect, &QAction::triggered, this, [this] { Disconnect(); });
  connect(miRefresh, &QAction::triggered, this, [this] { Refresh(); });
  connect(miExit, &QAction::triggered, this, &QWidget::close);
  connect(miSearch, &QAction::triggered, this, &MainWindow::ToggleSearch);
  connect(miPassword, &QAction::triggered, this, [this] { EditPassword(); });
  connect(miCOMPort, &QAction::triggered, this, [this] { SelectPort(); });
  for (QAction* a : {miSelectAll, miSelectAll1}) connect(a, &QAction::triggered, this, &MainWindow::SelectAllFiles);
  connect(miAppHelp, &QAction::triggered, this, [this] { ShowManual(); });
  connect(miAbout, &QAction::triggered, this, [this] {
    AboutDialog about(this);
    about.exec();
  });
  const std::pair<QAction*, int> styles[] = {{miLargeIcon, 0}, {miSmallIcon, 1}, {miList, 2}, {miDetail, 3},
                                             {miLargeIcon2, 0}, {miSmallIcon2, 1}, {miList2, 2}, {miDetail2, 3}};
  for (const auto& [action, style] : styles)
    connect(action, &QAction::triggered, this, [this, s = style] { ApplyViewStyle(s); });
}

QToolButton* MainWindow::AddToolButton(QWidget* bar, const char* name, const QString& caption,
                                     const QString& picture) {
  auto* button = new QToolButton(bar);
  button->setObjectName(name);
  button->setText(caption);
  button->setAutoRaise(true);
  button->setFocusPolicy(Qt::NoFocus);
  if (picture.isEmpty()) {
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    button->setPopupMode(QToolButton::InstantPopup);
  } else {
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    button->setIcon(ToolIcon(picture));
    button->setIconSize(QSize(20, 20));
    button->setFixedSize(51, 39);
  }
  bar->layout()->addWidget(button);
  return button;
}

void MainWindow::CreateCoolBar() {
  CoolBar1 = new QFrame(this);
  CoolBar1->setObjectName("CoolBar1");
  CoolBar1->setFrameShape(QFrame::StyledPanel);
  CoolBar1->setCursor(Qt::ArrowCursor);
  CoolBar1->installEventFilter(this);
  auto* bands = new QVBoxLayout(CoolBar1);
  bands->setContentsMargins(2, 1, 2, 1);
  bands->setSpacing(1);

  ToolBar1 = new QWidget(CoolBar1);
  ToolBar1->setObjectName("ToolBar1");
  auto* menus = new QHBoxLayout(ToolBar1);
  menus->setContentsMargins(0, 0, 0, 0);
  menus->setSpacing(0);
  const std::pair<QMenu*, const char*> menu_buttons[] = {
      {miFile, "tbtnMenuFile"}, {miEdit, "tbtnMenuEdit"}, {miView, "tbtnMenuView"}, {miHelp, "tbtnMenuHelp"}};
  for (std::size_t i = 0; i < menuButtons_.size(); ++i) {
    const auto& [m, name] = menu_buttons[i];
    QToolButton* button = AddToolButton(ToolBar1, name, m->title(), {});
    menuButtons_[i] = button;
    m->installEventFilter(this);
    button->setMenu(m);
    button->setStyleSheet("QToolButton::menu-indicator { image: none; width: 0; }");
  }
  menus->addStretch(1);
  bands->addWidget(ToolBar1);

  ToolBar2 = new QWidget(CoolBar1);
  ToolBar2->setObjectName("ToolBar2");
  auto* buttons = new QHBoxLayout(ToolBar2);
  buttons->setContentsMargins(0, 0, 0, 0);
  buttons->setSpacing(0);
  auto separator = [this, buttons] {
    auto* line = new QFrame(ToolBar2);
    line->setFrameShape(QFrame::VLine);
    line->setFrameShadow(QFrame::Sunken);
    line->setFixedSize(8, 36);
    buttons->addWidget(line);
  };
  tbtnConnect = AddToolButton(ToolBar2, "tbtnConnect", U("接続"), "tb_connect");
  tbtnDisconnect = AddToolButton(ToolBar2, "tbtnDisconnect", U("切断"), "tb_disconnect");
  tbtnRefresh = AddToolButton(ToolBar2, "tbtnRefresh", U("更新"), "tb_refresh");
  separator();
  tbtnCut = AddToolButton(ToolBar2, "tbtnCut", U("切り取り"), "tb_cut");
  tbtnCopy = AddToolButton(ToolBar2, "tbtnCopy", U("コピー"), "tb_copy");
  tbtnPaste = AddToolButton(ToolBar2, "tbtnPaste", U("貼り付け"), "tb_paste");
  tbtnDelete = AddToolButton(ToolBar2, "tbtnDelete", U("削除"), "tb_delete");
  separator();
  tbtnSearch = AddToolButton(ToolBar2, "tbtnSearch", U("検索"), "tb_search");
  tbtnSearch->setCheckable(true);
  separator();
  tbtnViewStyle = AddToolButton(ToolBar2, "tbtnViewStyle", U("表示"), "tb_viewstyle");
  tbtnViewStyle->setMenu(pmenuViewStyle);
  tbtnViewStyle->setPopupMode(QToolButton::InstantPopup);
  tbtnViewStyle->setStyleSheet("QToolButton::menu-indicator { image: none; width: 0; }");
  separator();
  tbtnHelp = AddToolButton(ToolBar2, "tbtnHelp", U("ヘルプ"), "tb_help");
  buttons->addStretch(1);
  bands->addWidget(ToolBar2);

  connect(tbtnConnect, &QToolButton::clicked, this, [this] { Connect(); });
  connect(tbtnDisconnect, &QToolButton::clicked, this, [this] { Disconnect(); });
  connect(tbtnRefresh, &QToolButton::clicked, this, [this] { Refresh(); });
  // The checked state follows SearchShown, not the click.
  connect(tbtnSearch, &QToolButton::clicked, this, [this] {
    tbtnSearch->setChecked(SearchShown);
    ToggleSearch();
  });
  connect(tbtnHelp, &QToolButton::clicked, this, [this] { ShowManual(); });
  setMenuWidget(CoolBar1);
}

void MainWindow::CreateCentre() {
  Splitter1 = new QSplitter(Qt::Horizontal, this);
  Splitter1->setObjectName("Splitter1");
  Splitter1->setChildrenCollapsible(false);

  panelSearch = new QFrame(Splitter1);
  panelSearch->setObjectName("panelSearch");
  panelSearch->setAutoFillBackground(true);
  QPalette white = panelSearch->palette();
  white.setColor(QPalette::Window, Qt::white);
  panelSearch->setPalette(white);
  auto* search = new QVBoxLayout(panelSearch);
  search->setContentsMargins(6, 8, 6, 8);
  labelSearchWord = new QLabel(U("ファイルの名前(&M)"), panelSearch);
  labelSearchWord->setObjectName("labelSearchWord");
  editSearch = new QLineEdit(panelSearch);
  editSearch->setObjectName("editSearch");
  labelSearchWord->setBuddy(editSearch);
  btnSearchStart = new QPushButton(U("検索開始(&Ｓ)"), panelSearch);
  btnSearchStart->setObjectName("btnSearchStart");
  btnSearchClose = new QPushButton(U("閉じる(&C)"), panelSearch);
  btnSearchClose->setObjectName("btnSearchClose");
  search->addWidget(labelSearchWord);
  search->addWidget(editSearch);
  search->addWidget(btnSearchStart);
  search->addWidget(btnSearchClose);
  search->addStretch(1);
  panelSearch->hide();
  connect(btnSearchStart, &QPushButton::clicked, this, &MainWindow::StartSearch);
  connect(editSearch, &QLineEdit::returnPressed, this, &MainWindow::StartSearch);
  connect(btnSearchClose, &QPushButton::clicked, this, &MainWindow::CloseSearch);

  TreeView1 = new QTreeWidget(Splitter1);
  TreeView1->setObjectName("TreeView1");
  TreeView1->setHeaderHidden(true);
  TreeView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  TreeView1->setSortingEnabled(true);
  TreeView1->sortByColumn(0, Qt::AscendingOrder);
  TreeView1->resize(112, TreeView1->height());
  treeRoot_ = new QTreeWidgetItem(TreeView1, QStringList(U("未接続")));
  treeRoot_->setIcon(0, QIcon(SvgPixmap("tree_off", QSize(16, 16))));
  TreeView1->setCurrentItem(treeRoot_);
  TreeView1->hide();
  connect(TreeView1, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    std::string path;
    for (; item && item != treeRoot_; item = item->parent()) {
      std::string caption;
      ToCp932(item->text(0), caption);
      path = caption + "\\" + path;
    }
    FillFileList(path, DeviceListCache, nullptr);
  });

  ListView1 = new QStackedWidget(Splitter1);
  ListView1->setObjectName("ListView1");
  model_ = new DeviceListModel(this);
  listIcons_ = new QListView(ListView1);
  listIcons_->setObjectName("ListView1Icons");
  listDetails_ = new QTreeView(ListView1);
  listDetails_->setObjectName("ListView1Details");
  listIcons_->setModel(model_);
  iconCells_ = new IconCellDelegate(listIcons_);
  listIcons_->setItemDelegate(iconCells_);
  listDetails_->setModel(model_);
  listIcons_->setSelectionModel(listDetails_->selectionModel());
  listIcons_->setUniformItemSizes(true);
  listIcons_->setMovement(QListView::Static);
  listIcons_->setResizeMode(QListView::Adjust);
  listIcons_->setLayoutMode(QListView::Batched);
  listDetails_->setRootIsDecorated(false);
  listDetails_->setUniformRowHeights(true);
  listDetails_->setAllColumnsShowFocus(true);
  listDetails_->setItemsExpandable(false);
  listDetails_->header()->setSectionsClickable(true);
  listDetails_->header()->setStretchLastSection(false);
  listDetails_->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  const int widths[DeviceListModel::kColumns] = {107, 80, 120, 80, 60, 75};
  for (int i = 0; i < DeviceListModel::kColumns; ++i) listDetails_->header()->resizeSection(i, widths[i]);
  for (QAbstractItemView* view : std::initializer_list<QAbstractItemView*>{listIcons_, listDetails_}) {
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    view->installEventFilter(this);
    connect(view, &QWidget::customContextMenuRequested, this,
            [this, view](const QPoint& pos) { pmenuEdit->popup(view->viewport()->mapToGlobal(pos)); });
    ListView1->addWidget(view);
  }
  connect(listDetails_->header(), &QHeaderView::sectionClicked, this, &MainWindow::ListView1ColumnClick);
  connect(listDetails_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          &MainWindow::ListView1SelectItem);

  Splitter1->setStretchFactor(2, 1);
  Splitter1->setSizes({121, 112, 500});
  setCentralWidget(Splitter1);
}

void MainWindow::CreateStatusBar() {
  StatusBar1 = new QStatusBar(this);
  StatusBar1->setObjectName("StatusBar1");
  const int widths[3] = {200, 80, 80};
  for (int i = 0; i < 3; ++i) {
    panels_[i] = new QLabel(StatusBar1);
    panels_[i]->setObjectName(QString("StatusPanel%1").arg(i));
    panels_[i]->setFixedWidth(widths[i]);
    panels_[i]->setFrameShape(QFrame::Panel);
    panels_[i]->setFrameShadow(QFrame::Sunken);
    StatusBar1->addWidget(panels_[i]);
  }
  panels_[2]->setText(U("未接続"));
  panel3_ = new StatusPanel([this](QPainter& p, const QRect& r) { StatusBar1DrawPanel(p, r); }, StatusBar1);
  panel3_->setObjectName("StatusPanel3");
  panel3_->setMinimumSize(50, 18);
  StatusBar1->addWidget(panel3_, 1);
  setStatusBar(StatusBar1);
}

QString MainWindow::PanelText(int panel) const {
  if (panel >= 0 && panel < 3) return panels_[static_cast<std::size_t>(panel)]->text();
  if (panel == 3 && LinkOpen) return FromCp932(VendorName) + " - " + FromCp932(ModelName);
  return {};
}

void MainWindow::SetPanel(int panel, const QString& text) {
  panels_[static_cast<std::size_t>(panel)]->setText(text);
  panels_[static_cast<std::size_t>(panel)]->repaint();
}

bool MainWindow::event(QEvent* e) {
  if (e->type() == QEvent::WindowActivate) FormActivate();
  return QMainWindow::event(e);
}

void MainWindow::FormActivate() {
  if (FirstActivation) {
    FirstActivation = false;
    // After the activation has been delivered: both roads run modal loops.
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (ComPort.empty())
            SelectPort();
          else
            Connect();
        },
        Qt::QueuedConnection);
  }
  UpdateCommands();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* e) {
  const QEvent::Type type = e->type();
  if (watched == CoolBar1) {
    // The bar's own surface does nothing when clicked, and shows no sizing cursor.
    if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease ||
        type == QEvent::MouseButtonDblClick) {
      CoolBar1->setCursor(Qt::ArrowCursor);
      return true;
    }
    if (type == QEvent::CursorChange && CoolBar1->cursor().shape() != Qt::ArrowCursor) {
      CoolBar1->setCursor(Qt::ArrowCursor);
      return true;
    }
    return false;
  }
  if (type == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(e)->key();
    for (std::size_t i = 0; i < menuButtons_.size() && (key == Qt::Key_Left || key == Qt::Key_Right); ++i) {
      if (watched != menuButtons_[i]->menu()) continue;
      // Left and Right walk the menu band, as in any menu bar.
      QToolButton* next = menuButtons_[(i + (key == Qt::Key_Right ? 1 : menuButtons_.size() - 1)) % menuButtons_.size()];
      menuButtons_[i]->menu()->close();
      QMetaObject::invokeMethod(
          next,
          [next] {
            QMenu* menu = next->menu();
            QTimer::singleShot(0, menu, [menu] {
              for (QAction* a : menu->actions())
                if (a->isEnabled() && !a->isSeparator()) return menu->setActiveAction(a);
            });
            next->showMenu();
          },
          Qt::QueuedConnection);
      return true;
    }
  }
  if ((watched == listIcons_->viewport() || watched == listDetails_->viewport()) &&
      ListViewportEvent(static_cast<QWidget*>(watched), e))
    return true;
  if (watched == listIcons_ || watched == listDetails_) {
    // Select all is the command's, enabled by its own rule; the views' own key is not used.
    if (type == QEvent::KeyPress && static_cast<QKeyEvent*>(e)->matches(QKeySequence::SelectAll)) return true;
    if (type == QEvent::KeyPress && ListViewKeyEvent(static_cast<QKeyEvent*>(e))) return true;
    if (type == QEvent::FocusIn || type == QEvent::FocusOut) {
      const auto reason = static_cast<QFocusEvent*>(e)->reason();
      // Another window or a pop-up taking the focus is no move inside the form.
      if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
        if (type == QEvent::FocusOut)
          ListView1Exit();
        else if (reason == Qt::MouseFocusReason)
          // The press that gave the focus is handled first, on the rows it
          // was aimed at: a refill in between would put another file there.
          QMetaObject::invokeMethod(this, &MainWindow::ListView1Enter, Qt::QueuedConnection);
        else
          ListView1Enter();
      }
    }
    return false;
  }
  if (type == QEvent::KeyPress && static_cast<QKeyEvent*>(e)->key() == Qt::Key_F5 && watched->isWidgetType()) {
    // Any window of the program, dialogs included. A key travels up from
    // its first receiver to the parents as the same event: act once.
    auto* widget = static_cast<QWidget*>(watched);
    const bool travelling = e == lastF5_ && lastF5Widget_ && widget->isAncestorOf(lastF5Widget_);
    lastF5_ = e;
    lastF5Widget_ = widget;
    if (!travelling) Refresh();
  }
  return false;
}

void MainWindow::closeEvent(QCloseEvent* e) {
  if (closing_) {
    e->ignore();
    return;
  }
  // An exchange or a connect in progress still uses the port, the engine
  // and the lists: the close waits until it has returned.
  if (Busy || Connecting) {
    closePending_ = true;
    e->ignore();
    return;
  }
  closing_ = true;
  Disconnect();
  // The user must always be able to quit: an unwritable file is reported
  // and the window closes all the same.
  SaveSettings();
  serial_->Close();
  closing_ = false;
  closePending_ = false;
  e->accept();
}

void MainWindow::ClearBusy() {
  Busy = false;
  FinishPendingClose();
}

void MainWindow::FinishPendingClose() {
  if (hangUpPending_ && !Busy && !Connecting) {
    hangUpPending_ = false;
    QMetaObject::invokeMethod(this, &MainWindow::SerialHangUp, Qt::QueuedConnection);
  }
  if (!closePending_ || Busy || Connecting) return;
  closePending_ = false;
  QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void MainWindow::ApplyGeometry(const WindowSettings& s) {
  if (s.FormLeft && s.FormTop) move(*s.FormLeft, *s.FormTop);
  if (s.FormWidth && s.FormHeight) resize(*s.FormWidth, *s.FormHeight);
  treeViewWidth_ = s.TreeViewWidth;
  TreeView1->resize(s.TreeViewWidth, TreeView1->height());
  // Default widths were chosen for another font: never narrower than the
  // header and a typical cell need in this one. Saved widths stand.
  for (int i = 0; i < DeviceListModel::kColumns; ++i) {
    const auto c = static_cast<std::size_t>(i);
    const int width = s.ColumnWidthSaved[c] ? s.ColumnWidths[c] : std::max(s.ColumnWidths[c], ColumnWidthNeeded(i));
    listDetails_->header()->resizeSection(i, width);
  }
}

void MainWindow::ApplyFirstStartGeometry() {
  // Qt's size for a new window cuts off the tool bar: take the size a
  // missing config.ini stands for, centred.
  const int tool_bar = CoolBar1->sizeHint().width();
  resize(std::max(640, tool_bar), 480);
  if (const QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
}

void MainWindow::LoadSettings() {
  WindowSettings s;
  const SettingsLoadResult result = LoadSettingsFile(SettingsDir + "config.ini", settings_lines, s);
  if (result.status == SettingsLoad::Unreadable) ShowMessage(QString::fromStdString(result.error));
  ComPort = s.ComPort;
  Password = s.Password;
  VendorName = s.VendorName;
  ModelName = s.ModelName;
  ViewStyle = s.ViewStyle;
  if (result.status == SettingsLoad::Loaded) {
    ApplyGeometry(s);
  } else {
    ApplyFirstStartGeometry();
    WindowSettings design;
    design.TreeViewWidth = treeViewWidth_;
    ApplyGeometry(design);
  }
}

bool MainWindow::SaveSettings() {
  WindowSettings s;
  s.ComPort = ComPort;
  s.Password = Password;
  s.VendorName = VendorName;
  s.ModelName = ModelName;
  s.ViewStyle = ViewStyle;
  s.FormLeft = x();
  s.FormTop = y();
  s.FormWidth = width();
  s.FormHeight = height();
  s.TreeViewWidth = treeViewWidth_;
  for (int i = 0; i < DeviceListModel::kColumns; ++i)
    s.ColumnWidths[static_cast<std::size_t>(i)] = listDetails_->header()->sectionSize(i);
  StoreSettings(s, settings_lines);
  std::string error;
  if (WriteSettingsFile(SettingsDir, settings_lines, error)) return true;
  ShowMessage(QString::fromStdString(error));
  return false;
}

int MainWindow::ShowManual() {
  // Beside the program first (a build, an unpacked copy), then where an
  // install puts it.
  const QString dir = QString::fromStdString(ProgramDir());
  const QString name = U("取扱説明書.pdf");
  const QStringList paths{dir + "/" + name, QDir::cleanPath(dir + "/../share/doc/mirvo/" + name)};
  for (const QString& path : paths)
    if (QFile::exists(path)) return QDesktopServices::openUrl(QUrl::fromLocalFile(path)) ? 0 : -1;
  ShowMessage(U("ヘルプファイル\r\n%1\r\nが見つかりませんでした。").arg(paths.join("\r\n")));
  return -1;
}

}  // namespace mirvo::app
