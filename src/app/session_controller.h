// The connection to the handset: owns the serial port and the protocol
// engine, connects and disconnects, runs the session, fetches the file
// list and keeps its lines, and answers what the handset does on its own
// (ending the session, hanging up).
//
// Main thread only. Every exchange with the handset holds the busy flag;
// each entry point that would start one returns at once while it is held.
// Exchanges let window messages run while they wait, so these calls may
// nest inside one another: the busy flag is the only guard.
#pragma once

#include <QObject>
#include <QString>
#include <memory>
#include <string>
#include <vector>

#include "app/status_field.h"

class QWidget;

namespace mirvo {
class SerialPort;
class ProtocolEngine;
}  // namespace mirvo

namespace mirvo::app {

class SessionController : public QObject {
  Q_OBJECT

 public:
  // dialogs_parent: the window that owns the port and password dialogs.
  explicit SessionController(QWidget* dialogs_parent);
  ~SessionController() override;

  // Each returns 0 when done, -1 when refused or failed; failures are
  // reported to the user.
  int Connect();
  // 0 only when the handset acknowledged the end of the session.
  int Disconnect();
  int SelectPort();
  int EditPassword();
  // Fetches the list again; emits ListChanged when it did.
  int Refresh();
  int FetchFileList();

  bool IsConnecting() const { return connecting_; }
  bool IsLinkOpen() const { return link_open_; }
  bool IsSessionOpen() const { return session_open_; }
  bool IsBusy() const { return busy_; }

  // An exchange of the caller's own: marks the session busy until
  // EndExchange, which also runs what waited for the session to be free.
  void BeginExchange() { busy_ = true; }
  void EndExchange();
  // After an exchange failed past repair: disconnects. handset_gave_up: the
  // handset has left the link itself, so no FT_END is sent.
  void DropSession(bool handset_gave_up);
  // The handset ended the session by itself.
  void HandsetEnded();

  // Code page 932 texts, as config.ini keeps them.
  const std::string& PortName() const { return port_name_; }
  const std::string& Password() const { return password_; }
  const std::string& VendorName() const { return vendor_name_; }
  const std::string& ModelName() const { return model_name_; }
  void SetPortName(std::string name) { port_name_ = std::move(name); }
  void SetPassword(std::string password) { password_ = std::move(password); }
  void SetHandsetNames(std::string vendor, std::string model);

  // The handset's list lines (code page 932), one per file; transfers add
  // and remove lines as they change the handset.
  std::vector<std::string>& Lines() { return lines_; }
  const std::vector<std::string>& Lines() const { return lines_; }

  SerialPort& Port() { return *port_; }
  ProtocolEngine& Engine() { return *engine_; }

 signals:
  // A status field's text; shown before the call goes on.
  void StatusText(StatusField field, const QString& text);
  // The port opened and the handset said who it is.
  void HandsetIdentified();
  // The session stands and the list has come: command-line files may go.
  void SessionReady();
  // The lines changed: the list shows them again.
  void ListChanged();
  // The link or the session went down.
  void ConnectionLost();
  // What the commands may do changed.
  void CommandsChanged();
  // Neither busy nor connecting any more: a close that waited may go on.
  void Idle();

 private:
  void PortOpened();
  void BytesReceived();
  void HungUp();
  int StartSession();
  void FinishPending();
  void Status(StatusField field, const QString& text) { emit StatusText(field, text); }

  QWidget* dialogs_parent_;
  std::unique_ptr<SerialPort> port_;
  std::unique_ptr<ProtocolEngine> engine_;
  std::string port_name_, password_, vendor_name_, model_name_;
  std::vector<std::string> lines_;
  bool connecting_ = false, link_open_ = false, session_open_ = false, busy_ = false;
  bool hang_up_pending_ = false;
};

}  // namespace mirvo::app
