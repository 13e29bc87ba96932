// SessionWorker: the window's session with the handset, on a thread of its
// own. It owns the serial port and the protocol engine and runs one job at
// a time (connect, list, fetch, send, delete, end), in the order posted;
// line events that come while no job runs (the handset ending the session,
// the line hanging up) are answered between jobs. It reports facts by
// signals and never talks to the user.
//
// Thread safety: the jobs and the settings run on the worker's thread only,
// posted there through the Post* calls, which any thread may make; so may
// StopJob and Shutdown. Signals are queued to the receiver's thread.
#pragma once

#include <QObject>
#include <QThread>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#include "protocol/handset_listing.h"
#include "protocol/protocol_engine.h"
#include "serial/port_diagnosis.h"
#include "serial/serial_port.h"

namespace mirvo::app {

// How a connect ended.
struct ConnectOutcome {
  enum class Step {
    kReady,            // session open, list fetched
    kPortNotOpened,    // diagnosis says why
    kNoLink,           // the handset did not answer the link
    kPasswordRefused,  // FT_START answered ERROR
    kNotStarted,       // FT_START failed otherwise
    kListFailed,       // the list was refused ("ERROR"): the handset left the link
    kListBroken,       // the list broke off; the session stays
  };
  Step step = Step::kReady;
  std::string vendor, model;  // code page 932, as the probe read them
  PortOpenDiagnosis diagnosis;
};

// What became of one file of a job.
struct FileOutcome {
  enum class Kind {
    kDone,      // fetched (on disk, and delivered), sent, or deleted
    kExchange,  // the handset's answer or the line failed it: result says which
    kLocal,     // this computer's side failed it: why says
    kHungUp,    // the line went away under it
    kStopped,   // the user stopped the run during it
  };
  int index = 0;
  Kind kind = Kind::kDone;
  ExchangeResult result = ExchangeResult::Ok;
  std::string why;         // UTF-8
  std::string local_path;  // a fetched file's copy
};

// Why the session ended by itself.
enum class SessionEnd {
  kHandsetEnded,  // the handset ended it
  kHungUp,        // the line went away
  kBroken,        // an exchange failed past repair
  kLinkLeft,      // the handset left the link ("ERROR")
};

struct FetchJob {
  std::vector<HandsetFile> files;
  std::string staging_dir;
  // Runs on the worker's thread once a copy is on disk: empty when done,
  // else why the file failed (UTF-8).
  std::function<std::string(const std::string& local_path, const HandsetFile& file)> deliver;
};

struct SendJob {
  struct File {
    std::string local_path;  // as the file system names it
    std::string folder;      // handset folder, code page 932, "\" after each part
    std::string name;        // handset name, code page 932
    std::int64_t size = 0;
  };
  std::vector<File> files;
  std::string attributes;  // record order
};

class SessionWorker : public QObject {
  Q_OBJECT

 public:
  SessionWorker();
  ~SessionWorker() override;

  // Starts the worker's thread; the object then lives there.
  void Start();
  // Ends the job under way at its next wait, ends the session (FT_END when
  // it stands) and stops the thread. Waits for that, bounded by the port's
  // time-outs; called once, from the thread that started the worker.
  void Shutdown();

  // Each runs as a job after those posted before it.
  void PostConnect(std::string port_name, std::string password);
  void PostFetchList();
  void PostFetch(FetchJob job);
  void PostSend(SendJob job);
  void PostDelete(std::vector<HandsetFile> files);
  void PostDisconnect();
  // Opens the port while no session stands, asks who answers and lets it go.
  void PostProbe(std::string port_name);
  // Runs a fetch at once and waits for it, from another thread: for a drop
  // target that waits for its data itself. The outcomes, in run order; no
  // FileSettled or RunFinished is sent for it.
  std::vector<FileOutcome> FetchNow(FetchJob job);
  // Time-outs for the next jobs (tests shrink them).
  void PostTimeouts(SerialPort::Timeouts port, ProtocolEngine::Timeouts engine);
  // Runs fn on the worker's thread with its port and engine (tests and
  // benches reach in so; never while it could race a job of theirs).
  void PostInspect(std::function<void(SerialPort&, ProtocolEngine&)> fn);

  // Ends the fetch or send under way at its next data frame and the rest of
  // its run; the session stays.
  void StopJob();

 signals:
  void Identified(std::string vendor, std::string model);
  void ConnectFinished(mirvo::app::ConnectOutcome outcome);
  // A new snapshot of the handset's files.
  void ListReplaced(mirvo::ListingSnapshot listing);
  // A refresh of the list ended (Ok, or why not).
  void ListFetched(mirvo::ExchangeResult result);
  // The list a send fetches afterwards could not be had (why).
  void ListFailed(mirvo::ExchangeResult result);
  void FileStarted(int index);
  // Bytes of the file under way, at most every 20 ms, and at its end.
  void FileProgress(qint64 bytes);
  void FileSettled(mirvo::app::FileOutcome outcome);
  // A fetch, send or delete job has ended; files after stopped ones were
  // not tried.
  void RunFinished();
  // A job could not start (the staging folder, for one): why (UTF-8).
  void RunRefused(std::string why);
  void Notice(mirvo::EngineNotice notice);
  void SessionEnded(mirvo::app::SessionEnd why);
  // The end the user asked for: acknowledged when the handset said so.
  void Disconnected(bool acknowledged);
  // What answered a probe on the port (empty when nothing did, or the port
  // did not open or was in use by the session).
  void Probed(std::string port_name, std::string vendor, std::string model);

 private:
  void Connect(const std::string& port_name, const std::string& password);
  void FetchList();
  void Fetch(const FetchJob& job, const std::function<void(const FileOutcome&)>& settled);
  void Send(const SendJob& job);
  void Delete(const std::vector<HandsetFile>& files);
  void Disconnect();
  void Probe(const std::string& port_name);
  // The handset's list fetched and, when it came, published; GetList's result.
  ExchangeResult PublishList();
  // After a failed exchange: what it does to the session, and the outcome's kind.
  FileOutcome::Kind Failed(ExchangeResult result);
  void EndSession(SessionEnd why);
  void BytesReceived();
  void HungUp();
  void Progress(std::int64_t bytes);
  void Run(std::function<void()> job);
  std::stop_token BeginJob();

  QThread thread_;
  std::stop_source shutdown_;
  std::atomic<std::uint64_t> posted_ = 0;  // jobs posted so far
  std::uint64_t current_job_ = 0;         // the one running, by its place in that count
  std::mutex job_stop_mutex_;
  std::stop_source job_stop_;         // over job_stop_mutex_
  std::uint64_t stopped_up_to_ = 0;  // over job_stop_mutex_
  std::unique_ptr<SerialPort> port_;
  std::unique_ptr<ProtocolEngine> engine_;
  ListingSnapshot listing_;
  bool link_open_ = false, session_open_ = false;
  bool handset_ended_ = false;  // seen during the job under way
  std::chrono::steady_clock::time_point progress_shown_{};
  std::int64_t progress_end_ = 0;  // the size of the file under way: its end is always told
};

}  // namespace mirvo::app

Q_DECLARE_METATYPE(mirvo::app::ConnectOutcome)
Q_DECLARE_METATYPE(mirvo::app::FileOutcome)
