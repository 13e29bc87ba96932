// The port selection dialog: probes COM1..COM256, lists every port that
// opened with the device that answered there, and takes the line the user
// chooses, or picks the first handset by itself.
#pragma once

#include <QDialog>
#include <memory>
#include <string>
#include <vector>

#include "serial/probe.h"

class QLabel;
class QListWidget;
class QPushButton;

namespace mirvo {
class SerialPort;
}

namespace mirvo::app {

class PortDialog : public QDialog {
  Q_OBJECT
 public:
  explicit PortDialog(QWidget* owner);
  ~PortDialog() override;

  // Rebuilds the list from a fresh probe of every port.
  void ScanPorts();

  // The accepted choice (code page 932), empty until one is accepted.
  const std::string& PortName() const { return port_name_; }
  const std::string& VendorName() const { return vendor_name_; }
  const std::string& ModelName() const { return model_name_; }

  // The records of the lines, in list order.
  const std::vector<ProbedPort>& Records() const { return records_; }

  QListWidget* PortList() const { return port_list_; }
  QPushButton* AcceptButton() const { return accept_button_; }
  QPushButton* AutoSelectButton() const { return auto_select_button_; }
  QPushButton* RescanButton() const { return rescan_button_; }
  QPushButton* CancelButton() const { return cancel_button_; }

 private:
  void AcceptSelectedPort();
  // Scans, then takes the first handset found without asking for a line.
  void AutoSelectHandset();
  void RefreshButtons();
  // After a scan: the first handset's line, else the first line.
  void SelectLikelyLine();
  // Confirms the selected line with the user and takes it; the result the
  // dialog should end with (Accepted when no line is selected).
  DialogCode ConfirmSelectedPort();

  std::unique_ptr<SerialPort> probe_port_;
  std::vector<ProbedPort> records_;
  std::string port_name_;
  std::string vendor_name_;
  std::string model_name_;

  QLabel* port_label_;
  QListWidget* port_list_;
  QPushButton* accept_button_;
  QPushButton* auto_select_button_;
  QPushButton* rescan_button_;
  QPushButton* cancel_button_;
};

}  // namespace mirvo::app
