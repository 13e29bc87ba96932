// Finding the handset: modem-style identification of one port, and the
// scan of COM1..COM256 behind the port selection dialog.
//
// Both run on the port's owner thread and block it; a stop requested on the
// port's stop token ends either at its next wait (see SerialPort).
#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace mirvo {

class SerialPort;

// One port that opened during a scan.
struct ProbedPort {
  std::string port_name;  // "COM<n>"
  std::string vendor;     // first line of the ATI3 reply; empty when silent
  std::string model;      // first line of the ATI4 reply
};

inline constexpr std::string_view kHandsetVendor = "ZQR";
inline constexpr std::array<std::string_view, 2> kHandsetModels = {"TQ-R5101K", "TQ-R5102K"};

// The wait for each byte of an identification reply.
inline constexpr int kProbeByteTimeout = 3000;

// Sends ATZ, ATE0, ATI3, ATI4 on the open port and takes the vendor and
// model from the replies. Each byte is awaited byte_timeout_ms, or the
// port's read time-out if shorter: the limit the port was opened with holds
// (a probing port opened at 150 ms probes its first line at 150 ms). A
// command that cannot be sent ends the probe with vendor and model empty.
// Leaves the read time-out at byte_timeout_ms, for the next Open.
void ProbeHandset(SerialPort& port, std::string& vendor, std::string& model,
                  int byte_timeout_ms = kProbeByteTimeout);

// Tries COM1..COM256 on the probing port (opened and closed for each) and
// returns one record per port that opened, in port order, up to a stop; each record also
// goes to found, if given, as soon as its port is identified.
std::vector<ProbedPort> ScanHandsetPorts(SerialPort& probe_port, int byte_timeout_ms = kProbeByteTimeout,
                                       const std::function<void(const ProbedPort&)>& found = {});

// The list line of a record: "%s : %s - %s" for the handset vendor,
// "%s : Unknown" otherwise.
std::string ProbedPortLine(const ProbedPort& info);

// Accepted without asking: the vendor, or one of the models.
bool IsSupportedHandset(const ProbedPort& info);

// Index of the first record with the handset vendor; -1 when none.
int AutoSelectIndex(const std::vector<ProbedPort>& records);

}  // namespace mirvo
