// The protocol trace: debug.log beside the program, written only when that
// file already exists at start-up. Every entry goes to the file as it is
// made (no buffering of our own), in code page 932 bytes with CR LF.
//
// Main thread only; the port event thread never traces.
#pragma once

#include <string>
#include <string_view>

namespace mirvo {

// Opens <program dir>/debug.log if it exists, starts it afresh and writes
// the banner. A debug.log that exists but cannot be created anew leaves
// tracing off.
void LogStart();
// The same with an explicit path (tests).
void LogStartAt(const std::string& path);
void LogClose();
bool LogIsOn();

// text + CR LF; 0, or -1 when tracing is off.
int LogWriteLine(std::string_view text);
// The local time, then the code page 932 form of a fixed UTF-8 text, when
// tracing is on.
void LogWriteTimedLine(std::string_view utf8_text);
// Hex dump of the block under title; 0, or -1 when off or block is null.
int LogDump(const void* block, int length, std::string_view title);

// Appends the dump to *target; 0, or -1 with nothing written when target
// or block is null. An empty title reads "データ内容". At most 4,097 rows
// (offsets up to 65536); the header still gives the full length.
int AppendHexDump(std::string* target, const void* block, int length, std::string_view title);

// Local time "hh:mm:ss" and "yyyy/mm/dd hh:mm:ss".
std::string TimeText();
std::string DateTimeText();

}  // namespace mirvo
