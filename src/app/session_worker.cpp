#include "app/session_worker.h"

#include <QMetaObject>
#include <algorithm>
#include <map>
#include <new>
#include <utility>

#include "app/staging.h"
#include "core/committer.h"
#include "protocol/trace_log.h"
#include "serial/probe.h"
#include "text/cp932.h"

namespace mirvo::app {
namespace {

// Unsolicited bytes are waited for this long per byte at most, so that line
// noise never holds the session for the engine's full reply time.
constexpr int kIdleReplyTimeout = 5000;
constexpr auto kProgressInterval = std::chrono::milliseconds(20);
// A port that has just appeared answers at once or is no handset: a silent
// one holds the session for four of these at most.
constexpr int kFollowProbeByteTimeout = 300;

FileOutcome OutcomeOf(std::size_t index) {
  FileOutcome outcome;
  outcome.index = static_cast<int>(index);
  return outcome;
}

}  // namespace

SessionWorker::SessionWorker() : port_(std::make_unique<SerialPort>()), listing_(HandsetListing::Empty()) {
  qRegisterMetaType<ConnectOutcome>();
  qRegisterMetaType<FileOutcome>();
  SerialSettings settings = port_->GetSettings();
  settings.baud_rate = 115200;
  port_->SetSettings(settings);
  port_->SetTimeouts({.read_ms = 180000, .write_ms = 60000, .read_interval_ms = 180000});
  SerialPort::Callbacks callbacks;
  callbacks.on_bytes_received = [this] { BytesReceived(); };
  callbacks.on_hang_up = [this] { HungUp(); };
  port_->SetCallbacks(std::move(callbacks));
  // Line events are answered on the worker's thread, between jobs.
  port_->SetEventPoster([this](std::function<void()> fn) { QMetaObject::invokeMethod(this, std::move(fn)); });
  port_->SetStopToken(shutdown_.get_token());

  engine_ = std::make_unique<ProtocolEngine>(*port_);
  engine_->On().handset_ended = [this] { handset_ended_ = true; };
  engine_->On().notice = [this](EngineNotice notice) { emit Notice(notice); };
  engine_->On().progress = [this](std::int64_t bytes) { Progress(bytes); };
}

SessionWorker::~SessionWorker() {
  if (thread_.isRunning()) Shutdown();
  // Nothing may reach this object once it goes: the engine talks through
  // the port, so it goes first.
  port_->SetCallbacks({});
  engine_.reset();
  port_.reset();
}

void SessionWorker::Start() {
  thread_.setObjectName("session");
  moveToThread(&thread_);
  thread_.start();
}

void SessionWorker::Shutdown() {
  shutdown_.request_stop();
  StopJob();
  // The port's waits end at once now: the job under way, if any, ends, and
  // the port closes on the thread that used it.
  QMetaObject::invokeMethod(
      this,
      [this] {
        link_open_ = session_open_ = false;
        port_->Close();
        thread_.quit();
      },
      Qt::QueuedConnection);
  thread_.wait();
}

void SessionWorker::Run(std::function<void()> job) {
  const std::uint64_t id = ++posted_;
  QMetaObject::invokeMethod(
      this,
      [this, id, job = std::move(job)] {
        current_job_ = id;
        job();
      },
      Qt::QueuedConnection);
}

void SessionWorker::PostConnect(std::string port_name, std::string password) {
  Run([this, port_name = std::move(port_name), password = std::move(password)] { Connect(port_name, password); });
}
void SessionWorker::PostFetchList() {
  Run([this] { FetchList(); });
}
void SessionWorker::PostFetch(FetchJob job) {
  Run([this, job = std::move(job)] {
    Fetch(job, [this](const FileOutcome& outcome) { emit FileSettled(outcome); });
    emit RunFinished();
  });
}
std::vector<FileOutcome> SessionWorker::FetchNow(FetchJob job) {
  std::vector<FileOutcome> outcomes;
  const std::uint64_t id = ++posted_;  // a stop asked before it is not for it
  QMetaObject::invokeMethod(
      this,
      [&] {
        current_job_ = id;
        Fetch(job, [&](const FileOutcome& outcome) { outcomes.push_back(outcome); });
      },
      Qt::BlockingQueuedConnection);
  return outcomes;
}
void SessionWorker::PostSend(SendJob job) {
  Run([this, job = std::move(job)] { Send(job); });
}
void SessionWorker::PostDelete(std::vector<HandsetFile> files) {
  Run([this, files = std::move(files)] { Delete(files); });
}
void SessionWorker::PostDisconnect() {
  Run([this] { Disconnect(); });
}
void SessionWorker::PostProbe(std::string port_name) {
  Run([this, port_name = std::move(port_name)] { Probe(port_name); });
}
void SessionWorker::PostTimeouts(SerialPort::Timeouts port, ProtocolEngine::Timeouts engine) {
  Run([this, port, engine] {
    port_->SetTimeouts(port);
    engine_->SetTimeouts(engine);
  });
}
void SessionWorker::PostInspect(std::function<void(SerialPort&, ProtocolEngine&)> fn) {
  Run([this, fn = std::move(fn)] { fn(*port_, *engine_); });
}

void SessionWorker::StopJob() {
  std::lock_guard lock(job_stop_mutex_);
  stopped_up_to_ = posted_;
  job_stop_.request_stop();
}

std::stop_token SessionWorker::BeginJob() {
  handset_ended_ = false;
  std::stop_token token;
  {
    std::lock_guard lock(job_stop_mutex_);
    job_stop_ = std::stop_source();
    // A stop asked before the job began is meant for it too when the job
    // was posted before the stop; never for a later one.
    if (current_job_ <= stopped_up_to_) job_stop_.request_stop();
    token = job_stop_.get_token();
  }
  engine_->SetAbandonToken(token);
  return token;
}

void SessionWorker::Progress(std::int64_t bytes) {
  const auto now = std::chrono::steady_clock::now();
  if (now - progress_shown_ < kProgressInterval && bytes != progress_end_) return;
  progress_shown_ = now;
  emit FileProgress(bytes);
}

void SessionWorker::Connect(const std::string& port_name, const std::string& password) {
  // A connect is never given up halfway, and nothing of an earlier session
  // stands for this one's list.
  handset_ended_ = false;
  engine_->SetAbandonToken({});
  listing_ = HandsetListing::Empty();
  ConnectOutcome outcome;
  port_->Close();
  SerialSettings settings = port_->GetSettings();
  settings.port_name = port_name;
  settings.baud_rate = 115200;
  port_->SetSettings(settings);
  if (!port_->Open()) {
    outcome.step = ConnectOutcome::Step::kPortNotOpened;
    outcome.diagnosis = DiagnosePortOpen(port_name);
    if (auto line = text::Utf8ToCp932(PortOpenFailureReason(port_name, outcome.diagnosis))) LogWriteLine(*line);
    emit ConnectFinished(outcome);
    return;
  }
  link_open_ = true;
  ProbeHandset(*port_, outcome.vendor, outcome.model);
  emit Identified(outcome.vendor, outcome.model);

  auto give_up = [&](ConnectOutcome::Step step) {
    link_open_ = session_open_ = false;
    port_->Close();
    outcome.step = step;
    emit ConnectFinished(outcome);
  };
  if (engine_->EstablishLink() != ExchangeResult::Ok) return give_up(ConnectOutcome::Step::kNoLink);
  const ExchangeResult started = engine_->FtStart(password);
  if (started != ExchangeResult::Ok) {
    LogWriteLine(text::Cp932("FT_START失敗"));
    return give_up(started == ExchangeResult::Failed ? ConnectOutcome::Step::kPasswordRefused
                                                     : ConnectOutcome::Step::kNotStarted);
  }
  session_open_ = true;

  const ExchangeResult listed = PublishList();
  if (listed == ExchangeResult::Failed) return give_up(ConnectOutcome::Step::kListFailed);
  if (listed != ExchangeResult::Ok) outcome.step = ConnectOutcome::Step::kListBroken;
  emit ConnectFinished(outcome);
}

void SessionWorker::FetchList() {
  BeginJob();
  if (!session_open_) {
    emit ListFetched(ExchangeResult::Broken);
    return;
  }
  const ExchangeResult r = PublishList();
  if (r == ExchangeResult::Failed) {
    EndSession(SessionEnd::kLinkLeft);
  } else if (r != ExchangeResult::Ok && port_->HasHungUp()) {
    EndSession(SessionEnd::kHungUp);
  }
  emit ListFetched(r);
}

ExchangeResult SessionWorker::PublishList() {
  std::vector<std::string> lines;
  const ExchangeResult r = engine_->GetList(lines);
  if (r != ExchangeResult::Ok) return r;
  listing_ = HandsetListing::FromLines(lines);
  emit ListReplaced(listing_);
  return r;
}

FileOutcome::Kind SessionWorker::Failed(ExchangeResult result) {
  if (handset_ended_) {
    EndSession(SessionEnd::kHandsetEnded);
    return FileOutcome::Kind::kExchange;
  }
  // A line that hung up says so, whatever the engine made of it: a reply
  // that never came may read as a refusal.
  if (port_->HasHungUp()) {
    EndSession(SessionEnd::kHungUp);
    return FileOutcome::Kind::kHungUp;
  }
  switch (result) {
    // The handset refused this file, or a frame of it was lost and the link
    // stands again: the run goes on with the next file.
    case ExchangeResult::Refused:
    case ExchangeResult::DataRefused:
    case ExchangeResult::FrameLost: break;
    case ExchangeResult::Failed: EndSession(SessionEnd::kLinkLeft); break;
    case ExchangeResult::HandsetEnded: EndSession(SessionEnd::kHandsetEnded); break;
    default: EndSession(SessionEnd::kBroken); break;
  }
  return FileOutcome::Kind::kExchange;
}

void SessionWorker::EndSession(SessionEnd why) {
  if (!link_open_ && !session_open_) return;
  // Marked ended first: closing the port runs a line event it had handed
  // over already (a hang-up), which must find the session gone.
  const bool was_open = session_open_;
  link_open_ = session_open_ = false;
  // After a broken exchange the handset may still be there to hear the end.
  if (why == SessionEnd::kBroken && was_open) engine_->FtEnd();
  port_->Close();
  emit SessionEnded(why);
}

void SessionWorker::Fetch(const FetchJob& job, const std::function<void(const FileOutcome&)>& settled) {
  const std::stop_token stop = BeginJob();
  StagingRun run;
  std::string why;
  if (!job.files.empty() && !run.Open(job.staging_dir, why)) {
    emit RunRefused(why);
    return;
  }
  // Each copy is written, synced and renamed on the committer's thread
  // while the next file comes; it counts only once it is on disk.
  struct Pending {
    std::string relative, local_path;
  };
  std::map<std::size_t, Pending> pending;
  Committer committer(1);
  auto settle = [&](const std::vector<Committer::Result>& done) {
    for (const Committer::Result& c : done) {
      auto node = pending.extract(c.tag);
      if (node.empty()) continue;
      FileOutcome outcome = OutcomeOf(c.tag);
      if (!c.ok) {
        outcome.kind = FileOutcome::Kind::kLocal;
        outcome.why = c.why;
      } else if (std::string refused = job.deliver ? job.deliver(node.mapped().local_path, job.files[c.tag])
                                                   : std::string();
                 !refused.empty()) {
        outcome.kind = FileOutcome::Kind::kLocal;
        outcome.why = std::move(refused);
      } else {
        outcome.local_path = node.mapped().local_path;
      }
      settled(outcome);
    }
  };
  auto in_flight = [&](const std::string& relative) {
    return std::any_of(pending.begin(), pending.end(), [&](const auto& p) { return p.second.relative == relative; });
  };
  for (std::size_t i = 0; i < job.files.size(); ++i) {
    settle(committer.TakeDone());
    if (!session_open_ || stop.stop_requested()) break;
    const HandsetFile& file = job.files[i];
    // A second file for a copy still on its way waits for it, so that the
    // run refuses it as it always has.
    if (const auto relative = StagedRelativePath(file.record); relative && in_flight(*relative))
      settle(committer.Finish());
    FileOutcome outcome = OutcomeOf(i);
    // A name with no local form, or whose copy this run already wrote, is
    // never fetched: its handset file must not count as copied.
    const std::optional<std::string> target = run.Target(file.record, why);
    if (!target) {
      outcome.kind = FileOutcome::Kind::kLocal;
      outcome.why = why;
      settled(outcome);
      continue;
    }
    progress_end_ = file.Size();
    emit FileStarted(static_cast<int>(i));
    std::string data;
    ExchangeResult r = ExchangeResult::Broken;
    try {
      r = engine_->GetFile(data, file.Path());
    } catch (const std::bad_alloc&) {
      // A file that could not be held fails alone; where the exchange stood
      // is unknown, so the link is made again.
      r = engine_->EstablishLink() == ExchangeResult::Ok ? ExchangeResult::FrameLost : ExchangeResult::Broken;
    }
    if (r == ExchangeResult::Ok) {
      const std::string local_path = run.FolderPath() + "/" + *target;
      auto copy = std::make_shared<const std::string>(std::move(data));
      committer.Submit(i, [&run, relative = *target, copy, date = file.record.date](std::string& failure) {
        return run.Write(relative, *copy, date, failure);
      });
      pending[i] = {*target, local_path};
      continue;
    }
    outcome.result = r;
    outcome.kind = stop.stop_requested() && r == ExchangeResult::FrameLost ? FileOutcome::Kind::kStopped : Failed(r);
    settled(outcome);
  }
  settle(committer.Finish());
}

void SessionWorker::Send(const SendJob& job) {
  const std::stop_token stop = BeginJob();
  bool changed = false;
  for (std::size_t i = 0; i < job.files.size(); ++i) {
    if (!session_open_ || stop.stop_requested()) break;
    const SendJob::File& file = job.files[i];
    progress_end_ = file.size;
    emit FileStarted(static_cast<int>(i));
    FileOutcome outcome = OutcomeOf(i);
    ExchangeResult r = ExchangeResult::Broken;
    try {
      r = engine_->PutFile(file.folder, file.local_path, job.attributes);
    } catch (const std::bad_alloc&) {
      // Where the exchange stood is unknown: a broken one.
    }
    outcome.result = r;
    if (r == ExchangeResult::Ok) {
      listing_ = listing_->Without({}, file.folder + file.name)
                     ->With(SentFile(file.folder, file.name, file.size, job.attributes));
      changed = true;
    } else {
      outcome.kind = stop.stop_requested() && r == ExchangeResult::FrameLost ? FileOutcome::Kind::kStopped : Failed(r);
    }
    emit FileSettled(outcome);
  }
  // The handset's own list of what it now holds, the files sent included;
  // the edited copy stands where it cannot be had.
  if (changed) {
    const bool open = session_open_;
    const ExchangeResult listed = open ? PublishList() : ExchangeResult::Broken;
    if (listed != ExchangeResult::Ok) {
      if (open && listed == ExchangeResult::Failed) EndSession(SessionEnd::kLinkLeft);
      if (open) emit ListFailed(listed);
      emit ListReplaced(listing_);
    }
  }
  emit RunFinished();
}

void SessionWorker::Delete(const std::vector<HandsetFile>& files) {
  BeginJob();
  bool changed = false;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (!session_open_) break;
    emit FileStarted(static_cast<int>(i));
    FileOutcome outcome = OutcomeOf(i);
    outcome.result = engine_->DelFile(files[i].Path());
    if (outcome.result == ExchangeResult::Ok) {
      listing_ = listing_->Without(files[i].record.tag, files[i].record.name);
      changed = true;
    } else {
      outcome.kind = Failed(outcome.result);
    }
    emit FileSettled(outcome);
  }
  if (changed) emit ListReplaced(listing_);
  emit RunFinished();
}

void SessionWorker::Disconnect() {
  bool acknowledged = false;
  if (session_open_ && link_open_) acknowledged = engine_->FtEnd() == ExchangeResult::Ok;
  link_open_ = session_open_ = false;  // before the close, as in EndSession
  port_->Close();
  emit Disconnected(acknowledged);
}

void SessionWorker::Probe(const std::string& port_name) {
  std::string vendor, model;
  if (!link_open_ && !session_open_) {
    SerialSettings settings = port_->GetSettings();
    settings.port_name = port_name;
    port_->SetSettings(settings);
    const SerialPort::Timeouts timeouts = port_->GetTimeouts();
    if (port_->Open()) {
      ProbeHandset(*port_, vendor, model, kFollowProbeByteTimeout);
      port_->Close();
    }
    port_->SetTimeouts(timeouts);
  }
  emit Probed(port_name, vendor, model);
}

void SessionWorker::BytesReceived() {
  if (!link_open_ || !session_open_ || port_->BytesAvailable() <= 0) return;
  handset_ended_ = false;
  const ProtocolEngine::Timeouts saved = engine_->GetTimeouts();
  ProtocolEngine::Timeouts idle = saved;
  idle.reply = std::min(saved.reply, kIdleReplyTimeout);
  engine_->SetTimeouts(idle);
  std::string discarded;
  const ExchangeResult r = engine_->WaitReply(discarded);
  engine_->SetTimeouts(saved);
  if (r == ExchangeResult::HandsetEnded || handset_ended_) EndSession(SessionEnd::kHandsetEnded);
}

void SessionWorker::HungUp() {
  if (link_open_) EndSession(SessionEnd::kHungUp);
}

}  // namespace mirvo::app
