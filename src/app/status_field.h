// The fields of the main window's status bar, left to right.
#pragma once

namespace mirvo::app {

enum class StatusField {
  Activity,   // what the window is doing, or the selection's file count
  Size,       // the selection's size, or the file being sent
  Port,       // the port of the connection, or 未接続
  Handset,    // the connected handset's vendor and model, drawn with its picture
};

}  // namespace mirvo::app
