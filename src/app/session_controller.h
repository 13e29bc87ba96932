// The window's side of the session: what it knows of the connection and of
// the handset's files, the jobs it gives the session's worker (see
// session_worker.h), and what the user is told of them. Connecting,
// refreshing and ending run on the worker; this object never waits on the
// line.
//
// Main thread only. A job the window posts holds the session busy until the
// worker says it has ended; the commands that would post another are
// disabled meanwhile. Boxes that a job raises are shown once it has ended.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <string>

#include "app/session_worker.h"
#include "app/command_result.h"
#include "app/status_field.h"
#include "app/status_panel.h"
#include "serial/port_watcher.h"

class QWidget;

namespace mirvo::app {

class SessionController : public QObject {
  Q_OBJECT

 public:
  // dialogs_parent: the window that owns the port and password dialogs.
  explicit SessionController(QWidget* dialogs_parent);
  ~SessionController() override;

  // Each returns 0 when started (or done), -1 when refused; what comes of
  // it is said by the signals, failures also to the user.
  CommandResult Connect();
  CommandResult Disconnect();
  CommandResult SelectPort();
  CommandResult EditPassword();
  // Fetches the list again; ListChanged follows when it came.
  CommandResult Refresh();

  bool IsConnecting() const { return connecting_; }
  bool IsLinkOpen() const { return link_open_; }
  bool IsSessionOpen() const { return session_open_; }
  bool IsBusy() const { return jobs_ > 0 || connecting_; }

  // The handset's files as last listed; empty while no session stands.
  const ListingSnapshot& Listing() const { return listing_; }

  // Code page 932 texts, as config.ini keeps them.
  const std::string& PortName() const { return port_name_; }
  const std::string& Password() const { return password_; }
  const std::string& VendorName() const { return vendor_name_; }
  const std::string& ModelName() const { return model_name_; }
  void SetPortName(std::string name) { port_name_ = std::move(name); }
  void SetPassword(std::string password) { password_ = std::move(password); }
  void SetHandsetNames(std::string vendor, std::string model);

  // The worker, for the transfers' jobs and signals.
  SessionWorker& Worker() { return *worker_; }
  // A run of the transfers: busy from BeginRun to EndRun, which shows the
  // boxes the run raised.
  void BeginRun();
  void EndRun();
  // A box about the job under way, shown once it has ended (at once when
  // none runs).
  void Tell(const QString& text);
  // The port's line speed, bits per second.
  int BitsPerSecond() const { return 115200; }
  // Whether a handset plugged in is connected by itself (and the one whose
  // line went away connected again when it comes back).
  bool AutoConnect() const { return auto_connect_; }
  void SetAutoConnect(bool on) { auto_connect_ = on; }
  // Time-outs for the worker's next jobs (tests shrink them).
  void SetTimeouts(const SerialPort::Timeouts& port, const ProtocolEngine::Timeouts& engine);

 signals:
  // A status field's text.
  void StatusText(StatusField field, const QString& text);
  // The port opened and the handset said who it is.
  void HandsetIdentified();
  // The session stands and the list has come: command-line files may go.
  void SessionReady();
  // The list is another: the view shows it again.
  void ListChanged();
  // The link or the session went down.
  void ConnectionLost();
  // What the commands may do changed.
  void CommandsChanged();
  // Neither busy nor connecting any more: a close that waited may go on.
  void Idle();

 private:
  void ConnectFinished(const ConnectOutcome& outcome);
  void SessionEnded(SessionEnd why);
  void ShowNotice(EngineNotice notice);
  void JobPosted();
  void JobEnded();
  void ShowBoxes();
  void LinkDown();
  // Ports that came or went since the last look.
  void PortsChanged();
  void Probed(const std::string& port_name, const std::string& vendor, const std::string& model);
  void Status(StatusField field, const QString& text) { emit StatusText(field, text); }

  QWidget* dialogs_parent_;
  std::unique_ptr<SessionWorker> worker_;
  ListingSnapshot listing_;
  std::string port_name_, password_, vendor_name_, model_name_;
  bool connecting_ = false, link_open_ = false, session_open_ = false;
  int jobs_ = 0;
  int runs_ = 0;  // transfer runs among the jobs
  QStringList boxes_;  // raised while busy, shown once idle
  bool showing_boxes_ = false;
  std::optional<BusyCursor> busy_cursor_;
  // The serial ports as they come and go; none where the system gives no
  // way to watch them.
  std::optional<PortWatcher> watcher_;
  bool auto_connect_ = true;
  bool ports_known_ = false;  // the ports there at start have been taken in
};

}  // namespace mirvo::app
