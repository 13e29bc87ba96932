#include "app/main_window.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QRegularExpression>
#include <QScreen>
#include <QShortcut>
#include <QStatusBar>
#include <QToolButton>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

#include "app/about_dialog.h"
#include "app/app_resources.h"
#include "app/device_list_model.h"
#include "app/file_list_accessible.h"
#include "app/file_view.h"
#include "app/manual_opener.h"
#include "app/message_box.h"
#include "app/session_controller.h"
#include "app/status_panel.h"
#include "app/transfer_controller.h"
#include "app/transfer_progress.h"
#include "core/paths.h"
#include "dragdrop/file_list_formats.h"
#include "serial/serial_port.h"

namespace mirvo::app {

MainWindow::MainWindow(const QStringList& files_to_send, QWidget* parent)
    : QMainWindow(parent), settings_dir_(mirvo::SettingsDir()) {
  setObjectName("main_window");
  setWindowTitle("Mirvo");
  session_ = std::make_unique<SessionController>(this);
  files_ = new FileView(this);
  manual_ = new ManualOpener(this);
  CreateActions();
  CreateMenus();
  CreateToolBar();
  CreateStatusBar();
  transfers_ = new TransferController(*session_, *files_, status_bar_, this);
  transfers_->AddPendingUploads(files_to_send);
  setCentralWidget(files_);
  ConnectParts();
  CreateDragAndDrop();
  CreateFileCommands();

  qApp->installEventFilter(this);
  connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
    if (state == Qt::ApplicationActive) UpdateCommands();
  });

  LoadSettings();
  files_->ClearFolders();
  RefreshFileView();
  UpdateCommands();
}

MainWindow::~MainWindow() {
  qApp->removeEventFilter(this);
  if (MessageBoxes* hooks = MessageBoxes::Instance(); hooks && hooks->Window() == this) hooks->SetMainWindow(nullptr);
  // The parts outlive this body as children: nothing they still signal may
  // reach a window that is going away. The session's worker may still
  // report while it ends, so it goes first.
  for (QObject* part : {static_cast<QObject*>(files_), static_cast<QObject*>(transfers_),
                        static_cast<QObject*>(session_.get())})
    part->disconnect(this);
  session_.reset();
}

void MainWindow::ShowKeyInToolTip(QAction* action) {
  // A picture alone says little: the tip names the command and its key.
  const QString name = QString(action->text()).remove(QRegularExpression("\\(&.\\)|&"));
  const QString key = action->shortcut().toString(QKeySequence::NativeText);
  action->setToolTip(key.isEmpty() ? name : QString("%1 (%2)").arg(name, key));
}

QAction* MainWindow::AddAction(const char* name, const char* caption, const QKeySequence& key) {
  auto* action = new QAction(QString::fromUtf8(caption), this);
  action->setObjectName(name);
  // Before the command's own handler: what it says must stay.
  connect(action, &QAction::triggered, this, &MainWindow::ClearStopNotice);
  if (!key.isEmpty()) action->setShortcut(key);
  return action;
}

void MainWindow::CreateActions() {
  connect_action_ = AddAction("connect_action", "接続(&C)");
  disconnect_action_ = AddAction("disconnect_action", "切断(&D)");
  refresh_action_ = AddAction("refresh_action", "更新(&U)");
  exit_action_ = AddAction("exit_action", "終了(&X)");
  cut_action_ = AddAction("cut_action", "切り取り(&X)", QKeySequence(Qt::CTRL | Qt::Key_X));
  copy_action_ = AddAction("copy_action", "コピー(&C)", QKeySequence(Qt::CTRL | Qt::Key_C));
  paste_action_ = AddAction("paste_action", "貼り付け(&V)", QKeySequence(Qt::CTRL | Qt::Key_V));
  delete_action_ = AddAction("delete_action", "削除(&D)", QKeySequence(Qt::CTRL | Qt::Key_Delete));
  select_all_action_ = AddAction("select_all_action", "全て選択(&A)", QKeySequence(Qt::CTRL | Qt::Key_A));
  send_files_action_ = AddAction("send_files_action", "ファイルを送信(&T)...");
  save_to_folder_action_ = AddAction("save_to_folder_action", "フォルダーに保存(&F)...");
  search_action_ = AddAction("search_action", "検索(&S)");
  password_action_ = AddAction("password_action", "パスワード設定(&P)");
  port_action_ = AddAction("port_action", "COMポート設定(&O)");
  view_style_actions_ = {AddAction("large_icons_action", "大きいアイコン(&G)"),
                         AddAction("small_icons_action", "小さいアイコン(&M)"), AddAction("list_action", "一覧(&L)"),
                         AddAction("details_action", "詳細(&D)")};
  manual_action_ = AddAction("manual_action", "Mirvoのヘルプ(&H)", QKeySequence::HelpContents);
  about_action_ = AddAction("about_action", "バージョン情報(&A)");
  // The tool bar shows them by short captions and pictures; the menus by
  // their captions alone.
  const std::pair<QAction*, const char*> pictured[] = {
      {connect_action_, "tb_connect"}, {disconnect_action_, "tb_disconnect"}, {refresh_action_, "tb_refresh"},
      {cut_action_, "tb_cut"},         {copy_action_, "tb_copy"},             {paste_action_, "tb_paste"},
      {delete_action_, "tb_delete"},   {search_action_, "tb_search"},         {manual_action_, "tb_help"}};
  const char* const short_captions[] = {"接続", "切断", "更新", "切り取り", "コピー", "貼り付け", "削除", "検索", "ヘルプ"};
  for (std::size_t i = 0; i < std::size(pictured); ++i) {
    pictured[i].first->setIcon(ToolIcon(pictured[i].second));
    pictured[i].first->setIconVisibleInMenu(false);
    pictured[i].first->setIconText(QString::fromUtf8(short_captions[i]));
    ShowKeyInToolTip(pictured[i].first);
  }
  auto* styles = new QActionGroup(this);
  for (QAction* a : view_style_actions_) {
    a->setCheckable(true);
    styles->addAction(a);
  }
  addActions({cut_action_, copy_action_, paste_action_, delete_action_, select_all_action_});

  connect(connect_action_, &QAction::triggered, session_.get(), &SessionController::Connect);
  connect(disconnect_action_, &QAction::triggered, session_.get(), &SessionController::Disconnect);
  connect(refresh_action_, &QAction::triggered, session_.get(), &SessionController::Refresh);
  connect(exit_action_, &QAction::triggered, this, &QWidget::close);
  connect(cut_action_, &QAction::triggered, this, &MainWindow::CutFiles);
  connect(copy_action_, &QAction::triggered, this, &MainWindow::CopyFiles);
  connect(paste_action_, &QAction::triggered, this, &MainWindow::PasteFiles);
  connect(delete_action_, &QAction::triggered, this, [this] { transfers_->DeleteSelected(true); });
  connect(select_all_action_, &QAction::triggered, files_, &FileView::SelectAll);
  connect(search_action_, &QAction::triggered, files_, &FileView::ToggleSearch);
  connect(password_action_, &QAction::triggered, session_.get(), &SessionController::EditPassword);
  connect(port_action_, &QAction::triggered, session_.get(), &SessionController::SelectPort);
  connect(manual_action_, &QAction::triggered, manual_, &ManualOpener::Open);
  connect(about_action_, &QAction::triggered, this, [this] {
    AboutDialog about(this);
    about.exec();
  });
  for (std::size_t i = 0; i < view_style_actions_.size(); ++i)
    connect(view_style_actions_[i], &QAction::triggered, this,
            [this, style = static_cast<ViewStyle>(i)] { files_->SetStyle(style); });
}

void MainWindow::CreateMenus() {
  auto menu = [this](const char* name, const char* title, std::initializer_list<QAction*> items) {
    auto* m = new QMenu(QString::fromUtf8(title), this);
    m->setObjectName(name);
    // What a screen reader names the open menu by.
    m->setWindowTitle(m->title().remove(QChar('&')));
    for (QAction* a : items) {
      if (a)
        m->addAction(a);
      else
        m->addSeparator();
    }
    connect(m, &QMenu::aboutToShow, this, &MainWindow::UpdateCommands);
    return m;
  };
  const auto& [large, small, list, details] = view_style_actions_;
  file_menu_ = menu("file_menu", "ファイル(&F)", {connect_action_, disconnect_action_, refresh_action_, nullptr, exit_action_});
  edit_menu_ = menu("edit_menu", "編集(&E)",
                    {cut_action_, copy_action_, paste_action_, delete_action_, nullptr, save_to_folder_action_, send_files_action_,
                     nullptr, select_all_action_, nullptr, search_action_, nullptr, password_action_, port_action_});
  view_menu_ = menu("view_menu", "表示(&V)", {large, small, list, details, nullptr});
  view_menu_->addMenu(CreateSortMenu());
  view_menu_->addSeparator();
  auto_connect_action_ = view_menu_->addAction("電話機を接続したら自動で接続する(&A)");
  auto_connect_action_->setObjectName("auto_connect_action");
  auto_connect_action_->setCheckable(true);
  connect(auto_connect_action_, &QAction::toggled, this, [this](bool on) { session_->SetAutoConnect(on); });
  help_menu_ = menu("help_menu", "ヘルプ(&H)", {manual_action_, about_action_});
  edit_popup_ = menu("edit_popup", "",
                     {cut_action_, copy_action_, paste_action_, delete_action_, nullptr, save_to_folder_action_,
                      send_files_action_, nullptr, select_all_action_});
  view_style_popup_ = menu("view_style_popup", "", {large, small, list, details});
}

QMenu* MainWindow::CreateSortMenu() {
  // The header's clicks, for those who do not use a mouse; the marks say
  // the order the list is in, which every refill keeps.
  auto* sort = new QMenu("並べ替え(&S)", this);
  sort->setObjectName("sort_menu");
  sort->setWindowTitle(sort->title().remove(QChar('&')));
  auto* columns = new QActionGroup(sort);
  std::vector<QAction*> by_column;
  const char* const mnemonics = "NSTDPG";
  for (int column = 0; column < DeviceListModel::kColumns; ++column) {
    const QString caption = files_->Model().headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
    QAction* action = sort->addAction(QString("%1(&%2)").arg(caption, QChar(mnemonics[column])));
    action->setObjectName(QString("sort_by_column_%1_action").arg(column));
    action->setCheckable(true);
    columns->addAction(action);
    by_column.push_back(action);
    connect(action, &QAction::triggered, files_, [this, column] { files_->SortByColumn(column); });
  }
  sort->addSeparator();
  auto* orders = new QActionGroup(sort);
  const std::pair<const char*, Qt::SortOrder> directions[] = {{"ascending", Qt::AscendingOrder},
                                                              {"descending", Qt::DescendingOrder}};
  std::vector<QAction*> by_order;
  for (const auto& [name, order] : directions) {
    QAction* action = sort->addAction(order == Qt::AscendingOrder ? "昇順(&A)" : "降順(&E)");
    action->setObjectName(QString("sort_%1_action").arg(name));
    action->setCheckable(true);
    orders->addAction(action);
    by_order.push_back(action);
    connect(action, &QAction::triggered, files_,
            [this, order = order] { files_->SortBy(files_->SortColumn(), order); });
  }
  auto mark = [this, by_column, by_order] {
    by_column[static_cast<std::size_t>(files_->SortColumn())]->setChecked(true);
    by_order[files_->SortOrder() == Qt::AscendingOrder ? 0 : 1]->setChecked(true);
  };
  connect(files_, &FileView::SortChanged, sort, mark);
  mark();
  return sort;
}

QToolButton* MainWindow::AddToolButton(QWidget* band, const char* name, QAction* action) {
  auto* button = new QToolButton(band);
  button->setObjectName(name);
  button->setAutoRaise(true);
  button->setFocusPolicy(Qt::NoFocus);
  if (action) button->setDefaultAction(action);
  band->layout()->addWidget(button);
  return button;
}

void MainWindow::CreateToolBar() {
  tool_bands_ = new QFrame(this);
  tool_bands_->setObjectName("tool_bands");
  tool_bands_->setFrameShape(QFrame::StyledPanel);
  tool_bands_->setCursor(Qt::ArrowCursor);
  tool_bands_->installEventFilter(this);
  auto* bands = new QVBoxLayout(tool_bands_);
  bands->setContentsMargins(2, 1, 2, 1);
  bands->setSpacing(1);
  auto band = [this, bands](const char* name) {
    auto* widget = new QWidget(tool_bands_);
    widget->setObjectName(name);
    auto* row = new QHBoxLayout(widget);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    bands->addWidget(widget);
    return widget;
  };
  const QString no_indicator = "QToolButton::menu-indicator { image: none; width: 0; }";

  QWidget* menu_band = band("menu_band");
  // Before its buttons: each is told as a menu from its first report on.
  ExposeAsMenuBar(menu_band);
  const std::pair<QMenu*, const char*> menus[] = {{file_menu_, "file_menu_button"},
                                                  {edit_menu_, "edit_menu_button"},
                                                  {view_menu_, "view_menu_button"},
                                                  {help_menu_, "help_menu_button"}};
  for (std::size_t i = 0; i < menu_buttons_.size(); ++i) {
    QToolButton* button = AddToolButton(menu_band, menus[i].second, nullptr);
    button->setText(menus[i].first->title());
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    button->setPopupMode(QToolButton::InstantPopup);
    button->setMenu(menus[i].first);
    button->setStyleSheet(no_indicator);
    menus[i].first->installEventFilter(this);
    menu_buttons_[i] = button;
  }
  static_cast<QHBoxLayout*>(menu_band->layout())->addStretch(1);

  QWidget* button_band = band("button_band");
  auto pictured = [this, button_band](const char* name, QAction* action) {
    QToolButton* button = AddToolButton(button_band, name, action);
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    button->setIconSize(QSize(20, 20));
    button->setFixedSize(51, 39);
    return button;
  };
  auto separator = [button_band] {
    auto* line = new QFrame(button_band);
    line->setFrameShape(QFrame::VLine);
    line->setFrameShadow(QFrame::Sunken);
    line->setFixedSize(8, 36);
    button_band->layout()->addWidget(line);
  };
  pictured("connect_button", connect_action_);
  pictured("disconnect_button", disconnect_action_);
  pictured("refresh_button", refresh_action_);
  separator();
  cut_button_ = pictured("cut_button", cut_action_);
  copy_button_ = pictured("copy_button", copy_action_);
  paste_button_ = pictured("paste_button", paste_action_);
  delete_button_ = pictured("delete_button", delete_action_);
  separator();
  // Shows whether the search panel is open, which the menu item does not:
  // it follows the command's enabled state but keeps its own check mark.
  search_button_ = pictured("search_button", nullptr);
  search_button_->setText(search_action_->iconText());
  search_button_->setIcon(search_action_->icon());
  search_button_->setCheckable(true);
  connect(search_button_, &QToolButton::clicked, search_action_, &QAction::trigger);
  separator();
  QToolButton* view_style = pictured("view_style_button", nullptr);
  view_style->setText("表示");
  view_style->setIcon(ToolIcon("tb_viewstyle"));
  view_style->setMenu(view_style_popup_);
  view_style->setPopupMode(QToolButton::InstantPopup);
  view_style->setStyleSheet(no_indicator);
  separator();
  pictured("help_button", manual_action_);
  static_cast<QHBoxLayout*>(button_band->layout())->addStretch(1);
  setMenuWidget(tool_bands_);
}

void MainWindow::ConnectParts() {
  SessionController* session = session_.get();
  connect(session, &SessionController::StatusText, this, &MainWindow::ShowStatus);
  connect(transfers_, &TransferController::StatusText, this, &MainWindow::ShowStatus);
  connect(session, &SessionController::HandsetIdentified, this, [this] {
    files_->ShowConnected(FromCp932(session_->ModelName()));
    NameHandsetStatus();
    FitHandsetStatus();
    status_bar_->repaint();
  });
  connect(session, &SessionController::SessionReady, this, [this] {
    transfers_->UploadPending();
    RefreshFileView();
    UpdateCommands();
  });
  connect(session, &SessionController::ListChanged, this, [this] {
    files_->SetListing(session_->Listing());
    RefreshFileView();
  });
  connect(session, &SessionController::ConnectionLost, this, &MainWindow::ShowConnectionLost);
  connect(session, &SessionController::CommandsChanged, this, &MainWindow::UpdateCommands);
  connect(session, &SessionController::Idle, this, &MainWindow::FinishPendingClose);
  connect(transfers_, &TransferController::ListChanged, this, &MainWindow::RefreshFileView);
  connect(transfers_, &TransferController::StatusChanged, this, &MainWindow::UpdateStatusText);
  // Beside what the command says once it has ended; a bar message would
  // hide the fields.
  connect(transfers_, &TransferController::CopiesKeptIn, this, [this](const QString& folder) {
    const QString kept = QString("コピーしたファイルの保存先: %1").arg(folder);
    QMetaObject::invokeMethod(this, [this, kept] {
      const QString now = StatusText(StatusField::Activity);
      ShowStatus(StatusField::Activity, now.isEmpty() ? kept : now + "　" + kept);
    }, Qt::QueuedConnection);
  });
  connect(transfers_, &TransferController::RunStarting, this, &MainWindow::ClearStopNotice);

  files_->SetBusyCheck([this] { return session_->IsBusy(); });
  connect(files_, &FileView::SelectionChanged, this, [this] {
    UpdateStatusText();
    UpdateCommands();
  });
  connect(files_, &FileView::ListEntered, this, &MainWindow::RefreshFileView);
  connect(files_, &FileView::ListLeft, this, [this] {
    for (QToolButton* b : {cut_button_, copy_button_, paste_button_, delete_button_}) b->setEnabled(false);
  });
  connect(files_, &FileView::SearchToggled, search_button_, &QToolButton::setChecked);
  connect(files_, &FileView::SearchFinished, this,
          [this](int found) { ShowStatus(StatusField::Activity, QString("%1 件見つかりました。").arg(found)); });
  connect(files_, &FileView::ContextMenuRequested, this, [this](QPoint pos) { edit_popup_->popup(pos); });
  connect(files_, &FileView::EditKeyPressed, this, &MainWindow::HandleListKey);
  connect(files_, &FileView::DragStarted, this, &MainWindow::StartDrag);

  auto* esc = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  esc->setContext(Qt::WindowShortcut);
  connect(esc, &QShortcut::activated, this, [this] {
    if (transfers_->Progress().isVisible()) transfers_->StopTransfer();
  });
  // The Delete key of the list asks before it deletes, as the commands do.
  for (QWidget* view : {static_cast<QWidget*>(files_->IconView()), static_cast<QWidget*>(files_->DetailView())}) {
    auto* del = new QShortcut(QKeySequence(Qt::Key_Delete), view);
    del->setContext(Qt::WidgetShortcut);
    connect(del, &QShortcut::activated, this, [this] {
      if (session_->IsSessionOpen() && files_->HasSelection()) transfers_->DeleteSelected(true);
    });
  }
}

void MainWindow::RefreshFileView() {
  const bool selected = files_->HasSelection();
  for (QToolButton* b : {cut_button_, copy_button_, delete_button_}) b->setEnabled(selected);
  files_->ShowCurrentFolder();
}

void MainWindow::ShowConnectionLost() {
  UpdateStatusText();
  files_->ClearFolders();
  RefreshFileView();
  UpdateCommands();
}

void MainWindow::UpdateCommands() {
  const bool linked = session_->IsLinkOpen();
  // While the session's worker runs a job, nothing else may go to the line.
  const bool free = !session_->IsBusy();
  const bool selected = files_->HasSelection();
  const bool files_on_clipboard = dragdrop::HasFileList(QApplication::clipboard()->mimeData());
  for (QAction* a : {connect_action_, password_action_, port_action_}) a->setEnabled(!linked && free);
  for (QAction* a : {disconnect_action_, refresh_action_}) a->setEnabled(linked && free);
  search_action_->setEnabled(linked);
  for (QAction* a : {cut_action_, copy_action_, delete_action_}) a->setEnabled(selected && free);
  select_all_action_->setEnabled(selected);
  send_files_action_->setEnabled(linked && free);
  save_to_folder_action_->setEnabled(linked && selected && free);
  paste_action_->setEnabled(linked && files_on_clipboard && free);
  // A button the list disabled when it lost the focus follows its command again.
  for (QToolButton* b : {cut_button_, copy_button_, paste_button_, delete_button_})
    b->setEnabled(b->defaultAction()->isEnabled());
  search_button_->setEnabled(search_action_->isEnabled());
}

bool MainWindow::event(QEvent* e) {
  if (e->type() == QEvent::WindowActivate) OnWindowActivated();
  return QMainWindow::event(e);
}

void MainWindow::OnWindowActivated() {
  if (first_activation_) {
    first_activation_ = false;
    // After the activation has been delivered: both roads run modal loops.
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (session_->PortName().empty())
            session_->SelectPort();
          else
            session_->Connect();
        },
        Qt::QueuedConnection);
  }
  UpdateCommands();
}

bool MainWindow::MenuBandKey(QObject* watched, int key) {
  if (key != Qt::Key_Left && key != Qt::Key_Right) return false;
  const std::size_t count = menu_buttons_.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (watched != menu_buttons_[i]->menu()) continue;
    // Left and Right walk the menu band, as in any menu bar.
    QToolButton* next = menu_buttons_[(i + (key == Qt::Key_Right ? 1 : count - 1)) % count];
    menu_buttons_[i]->menu()->close();
    QMetaObject::invokeMethod(next, &QToolButton::showMenu, Qt::QueuedConnection);
    return true;
  }
  return false;
}

bool MainWindow::OwnsMenu(QObject* object) const {
  if (!qobject_cast<QMenu*>(object)) return false;
  for (QObject* o = object->parent(); o; o = o->parent())
    if (o == this) return true;
  return false;
}

void MainWindow::MenuKeys(QObject* watched, QEvent* e) {
  const QEvent::Type type = e->type();
  if (type == QEvent::Show && OwnsMenu(watched)) {
    // A menu opens with its first item current, as a menu bar's does, so
    // that the focus is somewhere a screen reader can say.
    auto* menu = static_cast<QMenu*>(watched);
    QMetaObject::invokeMethod(
        menu,
        [menu] {
          if (menu->activeAction()) return;
          for (QAction* a : menu->actions())
            if (a->isEnabled() && !a->isSeparator() && a->isVisible()) return menu->setActiveAction(a);
        },
        Qt::QueuedConnection);
    return;
  }
  if (type == QEvent::MouseButtonPress) alone_alt_ = false;
  if (type != QEvent::KeyPress && type != QEvent::KeyRelease && type != QEvent::ShortcutOverride) return;
  const auto* key = static_cast<QKeyEvent*>(e);
  // Any other key with it, even one a shortcut takes, makes Alt no longer alone.
  if (type != QEvent::KeyRelease && key->key() != Qt::Key_Alt) alone_alt_ = false;
  if (type == QEvent::ShortcutOverride) return;
  // Keys of this window only, looked at once where they start: a key
  // travels up from the focus to its parents as the same event.
  QWidget* focus = focusWidget();
  if (watched != (focus ? static_cast<QObject*>(focus) : this)) return;
  if (QApplication::activePopupWidget()) {
    alone_alt_ = false;
    return;
  }
  // F10, or Alt pressed and let go with nothing else, moves into the menu band.
  bool open = false;
  if (type == QEvent::KeyPress) {
    if (key->key() == Qt::Key_Alt) alone_alt_ = (key->modifiers() & ~Qt::AltModifier) == Qt::NoModifier;
    open = key->key() == Qt::Key_F10 && key->modifiers() == Qt::NoModifier;
  } else if (key->key() == Qt::Key_Alt && alone_alt_ && !key->isAutoRepeat()) {
    alone_alt_ = false;
    open = true;
  }
  if (!open) return;
  QMetaObject::invokeMethod(menu_buttons_[0], &QToolButton::showMenu, Qt::QueuedConnection);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* e) {
  const QEvent::Type type = e->type();
  MenuKeys(watched, e);
  if (watched == tool_bands_) {
    // The bar's own surface does nothing when clicked, and shows no sizing cursor.
    if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease ||
        type == QEvent::MouseButtonDblClick) {
      tool_bands_->setCursor(Qt::ArrowCursor);
      return true;
    }
    if (type == QEvent::CursorChange && tool_bands_->cursor().shape() != Qt::ArrowCursor) {
      tool_bands_->setCursor(Qt::ArrowCursor);
      return true;
    }
    return false;
  }
  if (type != QEvent::KeyPress) return false;
  const int key = static_cast<QKeyEvent*>(e)->key();
  if (MenuBandKey(watched, key)) return true;
  if (key == Qt::Key_F5 && watched->isWidgetType()) {
    // Any window of the program, dialogs included. A key travels up from
    // its first receiver to the parents as the same event: act once.
    auto* widget = static_cast<QWidget*>(watched);
    const bool travelling = e == last_f5_ && last_f5_widget_ && widget->isAncestorOf(last_f5_widget_);
    last_f5_ = e;
    last_f5_widget_ = widget;
    if (!travelling) {
      ClearStopNotice();
      session_->Refresh();
    }
  }
  return false;
}

void MainWindow::closeEvent(QCloseEvent* e) {
  // A run stops at its next frame; the session then ends with FT_END; the
  // window closes once the worker has done both.
  if (transfers_->IsRunning()) transfers_->StopTransfer();
  if (session_->IsBusy() || session_->IsSessionOpen()) {
    if (!session_->IsBusy()) session_->Disconnect();
    close_pending_ = true;
    e->ignore();
    return;
  }
  // Files handed over while no session stood go with the window: say which.
  if (transfers_->HasPendingUploads())
    ShowMessage(QString("次のファイルは電話機に送信されませんでした。\n%1").arg(transfers_->PendingUploads().join('\n')));
  // The user must always be able to quit: an unwritable file is reported
  // and the window closes all the same.
  SaveSettings();
  close_pending_ = false;
  e->accept();
}

void MainWindow::FinishPendingClose() {
  if (!close_pending_ || session_->IsBusy()) return;
  QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void MainWindow::ApplyFirstStartGeometry() {
  // Qt's size for a new window cuts off the tool bar: take the size a
  // missing config.ini stands for, centred.
  resize(std::max(640, tool_bands_->sizeHint().width()), 480);
  if (const QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
}

void MainWindow::LoadSettings() {
  WindowSettings s;
  const SettingsLoadResult result = LoadSettingsFile(settings_dir_ + "config.ini", settings_lines_, s);
  if (result.status == SettingsLoad::Unreadable) ShowMessage(QString::fromStdString(result.error));
  session_->SetPortName(s.port_name);
  session_->SetPassword(s.password);
  session_->SetHandsetNames(s.vendor_name, s.model_name);
  auto_connect_action_->setChecked(s.auto_connect);
  session_->SetAutoConnect(s.auto_connect);
  if (result.status == SettingsLoad::Loaded) {
    if (s.left && s.top) move(*s.left, *s.top);
    if (s.width && s.height) resize(*s.width, *s.height);
    files_->ApplyWidths(s);
  } else {
    ApplyFirstStartGeometry();
    files_->ApplyWidths(WindowSettings{});
  }
  view_style_actions_[static_cast<std::size_t>(s.view_style)]->setChecked(true);
  files_->SetStyle(s.view_style);
}

bool MainWindow::SaveSettings() {
  WindowSettings s;
  s.port_name = session_->PortName();
  s.password = session_->Password();
  s.vendor_name = session_->VendorName();
  s.model_name = session_->ModelName();
  s.view_style = files_->Style();
  s.auto_connect = session_->AutoConnect();
  s.left = x();
  s.top = y();
  s.width = width();
  s.height = height();
  files_->StoreWidths(s);
  StoreSettings(s, settings_lines_);
  std::string error;
  if (WriteSettingsFile(settings_dir_, settings_lines_, error)) return true;
  ShowMessage(QString::fromStdString(error));
  return false;
}

int MainWindow::ShowManual() { return manual_->Open(); }

}  // namespace mirvo::app
