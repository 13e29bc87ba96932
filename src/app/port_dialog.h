// PortDialog, port selection: probes COM1..COM256 for the handset and lets the user
// pick a port, or picks the first handset itself.
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
  const std::string& GetPortName() const { return SelPort; }

  // The accepted choice (code page 932), empty until one is accepted.
  std::string SelPort, SelVendor, SelModel;

  QLabel* Label1;
  QListWidget* listboxComPort;
  QPushButton* btnConnect;
  QPushButton* btnAutoScan;
  QPushButton* btnUpdate;
  QPushButton* btnCancel;

  // The records of the lines, in list order.
  const std::vector<ProbedPort>& Records() const { return records_; }

 private:
  void btnConnectClick();
  void btnAutoScanClick();
  void RefreshButtons();
  // After a scan: the first handset's line, else the first line.
  void SelectLikelyLine();
  // Runs the choice of 設定 with the dialog's result preset to OK; returns
  // the result the dialog ends with.
  int AcceptSelection();

  std::unique_ptr<SerialPort> probe_;
  std::vector<ProbedPort> records_;
};

}  // namespace mirvo::app
