#include "cli/cli_session.h"

#include <algorithm>

#include "cli/cli_format.h"
#include "core/paths.h"
#include "protocol/frame_codes.h"
#include "protocol/list_records.h"
#include "serial/port_diagnosis.h"
#include "serial/probe.h"
#include "settings/settings_file.h"
#include "text/cp932.h"

namespace mirvo::cli {

namespace {

// What the engine's notices say on standard error.
const char* NoticeText(EngineNotice notice) {
  switch (notice) {
    case EngineNotice::kCrcError: return "a frame came with a bad CRC and was refused";
    case EngineNotice::kHandsetEnded: return "the handset ended the session";
    case EngineNotice::kListFailed: return "the list could not be received";
  }
  return "";
}

}  // namespace

std::string CliRun::Outcome(ExchangeResult result) const { return Stopped() ? "interrupted" : ResultText(result); }

bool Session::MayTryNext(std::string& why) {
  if (ended) {
    why = "not tried: the handset ended the session";
    return false;
  }
  if (broken) {
    why = "not tried: an earlier exchange broke off";
    return false;
  }
  if (link_down) {
    if (engine.EstablishLink() != ExchangeResult::Ok) {
      broken = true;
      why = "not tried: the link to the handset could not be restored";
      return false;
    }
    link_down = false;
  }
  return true;
}

void Session::NoteResult(ExchangeResult result) {
  // Not the line's fault: the run stops here, and End sets the line right.
  if (port.StopRequested()) {
    cut = true;
    return;
  }
  if (result == ExchangeResult::Failed) {
    link_down = true;
  } else if (result != ExchangeResult::Refused && result != ExchangeResult::DataRefused &&
             result != ExchangeResult::FrameLost) {
    // A refusal leaves the session as it was; after refused data or a
    // lost frame the engine has already linked up again.
    broken = true;
  }
}

bool Session::End() {
  if (end_result) return *end_result;
  bool ok = true;
  if (port.IsOpen() && !ended) {
    if (stop && stop->Signal() != 0) port.SetStopToken(stop->EndToken());
    if (cut) {
      // The handset may still be sending what was asked for, or waiting for
      // an answer: it is refused, the line left to go quiet and linked anew.
      engine.SendControl(kNak);
      ok = engine.RecoverLink() == ExchangeResult::Ok;
      link_down = false;
    }
    if (ok && link_down && engine.EstablishLink() != ExchangeResult::Ok) ok = false;
    if (ok && engine.FtEnd() != ExchangeResult::Ok) ok = false;
  }
  port.Close();
  end_result = ok;
  return ok;
}

bool ReadConnectionSettings(const CliArgs& args, std::string& port_name, std::string& password, std::string& error) {
  WindowSettings settings;
  const std::string path = SettingsDir() + "config.ini";
  if (!args.port || !args.password) {
    SettingsLines lines;
    const SettingsLoadResult loaded = LoadSettingsFile(path, lines, settings);
    if (loaded.status == SettingsLoad::Unreadable) {
      error = "cannot read the settings: " + loaded.error;
      return false;
    }
  }
  if (args.port) {
    port_name = *args.port;
  } else {
    const auto name = text::Cp932ToUtf8(settings.port_name);
    if (!name || name->empty()) {
      error = "no port: give --port, or set COM in " + path;
      return false;
    }
    port_name = *name;
  }
  if (args.password) {
    const auto cp932 = text::Utf8ToCp932(*args.password);
    if (!cp932) {
      error = "the password has no code page 932 form";
      return false;
    }
    password = *cp932;
  } else {
    password = settings.password;
  }
  return true;
}

bool OpenSession(Session& session, const std::string& port_name, const std::string& password, CliRun& run) {
  SerialSettings settings = session.port.GetSettings();
  settings.port_name = port_name;
  session.port.SetSettings(settings);
  session.engine.On().notice = [&run](EngineNotice notice) { run.Error(NoticeText(notice)); };
  if (!session.port.Open()) {
    const PortOpenDiagnosis why = DiagnosePortOpen(port_name);
    run.Error("cannot open the port " + PortOpenFailureReason(port_name, why));
    if (const std::string hint = PortOpenHint(why, HintLanguage::English); !hint.empty()) run.Error(hint);
    return false;
  }
  std::string vendor, model;
  ProbeHandset(session.port, vendor, model);
  ExchangeResult linked = ExchangeResult::Ok;
  {
    HandsetWait waiting(run, "link", run.options.timeouts.ack);
    linked = session.engine.EstablishLink();
  }
  if (linked != ExchangeResult::Ok) {
    run.Error("no handset answers on " + port_name);
    session.port.Close();
    return false;
  }
  ExchangeResult started = ExchangeResult::Ok;
  {
    HandsetWait waiting(run, "FT_START", run.options.timeouts.reply);
    started = session.engine.FtStart(password);
  }
  if (started != ExchangeResult::Ok && run.Stopped()) {
    // FT_START may have reached the handset: the caller ends the session.
    session.cut = true;
    return false;
  }
  if (started != ExchangeResult::Ok) {
    run.Error(started == ExchangeResult::Failed
                  ? "the handset refused the password (give --password, or set PASSWORD in config.ini)"
                  : "the handset did not open a session (result " + std::to_string(static_cast<int>(started)) + ")");
    session.port.Close();
    return false;
  }
  return true;
}

ExchangeResult FetchList(Session& session, CliRun& run) {
  if (session.listed) return ExchangeResult::Ok;
  std::string why;
  if (!session.MayTryNext(why)) return ExchangeResult::Broken;
  ExchangeResult r = ExchangeResult::Ok;
  {
    HandsetWait waiting(run, "GET_LIST", std::max(run.options.timeouts.reply, run.options.timeouts.first_frame));
    r = session.engine.GetList(session.lines);
  }
  if (r != ExchangeResult::Ok) {
    session.NoteResult(r);
  } else {
    session.listed = true;
  }
  return r;
}

ReceiveProgress::ReceiveProgress(CliRun& run, Session& session, const std::string& what,
                                 std::optional<std::int64_t> size)
    : session_(session) {
  const std::string total = size ? " / " + SizeCell(static_cast<std::int32_t>(*size)) : std::string(" B");
  session_.engine.On().progress = [&run, what, total](std::int64_t done) {
    run.watch.Touch();
    run.progress.Show(what + ": " + FormatThousands(std::to_string(done), ",") + total);
  };
}

}  // namespace mirvo::cli
