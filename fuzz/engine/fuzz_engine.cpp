// Whatever the handset sends: each command runs against a scripted line
// that answers with the input's bytes and times out at once when they run
// out. Every call must end with one of its result values, without harm,
// recursion or unbounded growth, and the PC must send only well-formed
// control bytes and frames.
//
// Input: byte 0 picks the command (and for PutFile the file), byte 1 the
// write call that fails (0: none), the rest is what the handset says.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "fuzz_check.h"
#include "protocol/crc16.h"
#include "protocol/protocol_engine.h"
#include "protocol/frame_codes.h"
#include "scripted_line.h"
#include "serial/serial_port.h"

namespace {

using namespace mirvo;

struct World {
  SerialPort port;
  int ends_noticed = 0;
  std::filesystem::path dir;
  std::vector<std::string> files;  // local files to upload
  ~World() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  World() {
    SerialSettings settings;
    settings.port_name = "/scripted";
    // A script that has run dry never speaks again: on a fast line the
    // waits for a quiet line after a bad frame end at once.
    settings.baud_rate = 4'000'000;
    port.SetSettings(settings);
    if (!port.Open()) std::abort();
    dir = std::filesystem::temp_directory_path() / ("mirvo-fuzz-engine-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    for (std::size_t size : {0u, 5u, 2500u}) {
      files.push_back((dir / ("up" + std::to_string(size) + ".bin")).string());
      std::ofstream(files.back(), std::ios::binary) << std::string(size, 'u');
    }
  }
};

using enum ExchangeResult;

bool OneOf(ExchangeResult value, std::initializer_list<ExchangeResult> allowed) {
  for (ExchangeResult a : allowed) {
    if (value == a) return true;
  }
  return false;
}

// What the PC wrote: control bytes and whole frames with a right CRC only.
bool WellFormed(const std::string& w) {
  for (std::size_t i = 0; i < w.size();) {
    const auto b = static_cast<std::uint8_t>(w[i]);
    if (b == kAck || b == kNak || b == kEnq || b == kEot) {
      ++i;
      continue;
    }
    if ((b != kStx && b != kEtx) || i + 3 > w.size()) return false;
    const std::size_t n = (static_cast<std::uint8_t>(w[i + 1]) << 8) | static_cast<std::uint8_t>(w[i + 2]);
    if (i + 5 + n > w.size()) return false;
    const std::uint16_t crc = static_cast<std::uint16_t>((static_cast<std::uint8_t>(w[i + 3 + n]) << 8) |
                                                         static_cast<std::uint8_t>(w[i + 4 + n]));
    if (Crc16(w.data() + i + 3, n) != crc) return false;
    i += 5 + n;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static World world;
  if (size < 2) return 0;
  testing::ScriptedLine& line = testing::TheScriptedLine();
  line.Reset(std::string(reinterpret_cast<const char*>(data) + 2, size - 2), data[1]);
  world.ends_noticed = 0;
  world.port.DiscardInput();  // nothing left over from the last input

  ProtocolEngine engine(world.port);
  engine.SetTimeouts({.ack = 0, .data = 0, .reply = 0, .first_frame = 0, .quiet = 0});
  engine.On().notice = [](EngineNotice n) { world.ends_noticed += n == EngineNotice::kHandsetEnded; };
  ExchangeResult r = Ok;
  switch (data[0] % 7) {
    case 0:
      r = engine.EstablishLink();
      FUZZ_CHECK(OneOf(r, {Ok, Broken}));
      break;
    case 1:
      r = engine.FtStart("0000");
      FUZZ_CHECK(OneOf(r, {Ok, Failed, Refused, HandsetEnded, Broken, UnknownReply}));
      break;
    case 2: {
      std::vector<std::string> lines;
      r = engine.GetList(lines);
      FUZZ_CHECK(OneOf(r, {Ok, Failed, Refused, HandsetEnded, Broken, UnknownReply}));
      break;
    }
    case 3: {
      std::string target = "kept";
      std::int64_t last = 0;
      engine.On().progress = [&](std::int64_t done) {
        FUZZ_CHECK(done >= last && done <= static_cast<std::int64_t>(size));
        last = done;
      };
      r = engine.GetFile(target, "dir\\a.txt");
      FUZZ_CHECK(OneOf(r, {Ok, Failed, Refused, HandsetEnded, FrameLost, Broken}));
      FUZZ_CHECK(r == Ok ? target.size() == 4 + static_cast<std::size_t>(last) && target.compare(0, 4, "kept") == 0
                        : target == "kept");
      break;
    }
    case 4:
      r = engine.PutFile("", world.files[(data[0] / 7) % world.files.size()], std::string(32, '-'));
      FUZZ_CHECK(OneOf(r, {Ok, Failed, Refused, HandsetEnded, DataRefused, Broken}));
      break;
    case 5:
      r = engine.DelFile("dir\\a.txt");
      FUZZ_CHECK(OneOf(r, {Ok, Failed, Refused, HandsetEnded, Broken}));
      break;
    default:
      r = engine.FtEnd();
      FUZZ_CHECK(OneOf(r, {Ok, Broken}));
      break;
  }
  // One end per wait that ends a step, never one nested in another.
  FUZZ_CHECK(world.ends_noticed <= 2);
  FUZZ_CHECK(WellFormed(line.written));
  return 0;
}
