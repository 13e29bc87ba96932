// PendingCut: handset files cut in the list, waiting for a paste. Their
// local copies lie in the staging folder, offered on the clipboard as cut;
// a paste in a file manager moves a copy out of that folder, and only then
// may the handset's file go. A copy still in place when the clipboard
// passes to someone else was not taken, and its handset file stays. Some
// file managers clear the clipboard as a paste of a cut begins and move
// the copies after: a clipboard left empty waits a while for them.
// Runs on the user-interface thread.
#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace mirvo::dragdrop {

class PendingCut : public QObject {
  Q_OBJECT

 public:
  struct Entry {
    QString path;     // the local copy offered
    std::string key;  // the owner's name for the handset file
  };
  // A copy was moved out of its folder: its handset file may go.
  using Taken = std::function<void(const std::string& key)>;
  // The offer is over (the clipboard went elsewhere, or Finish); left: the
  // copies nobody took.
  using Ended = std::function<void(int left)>;

  explicit PendingCut(QObject* parent = nullptr);

  // Whether the clipboard still holds the offer.
  using OfferCheck = std::function<bool()>;

  // Ends the last offer, then waits for a paste of entries while offered
  // says the clipboard holds them; checked again at each change of the
  // clipboard. False, and nothing waits, when it does not hold them now.
  bool Watch(std::vector<Entry> entries, OfferCheck offered);
  // Reports the copies taken so far, then stops waiting for the others.
  void Finish();
  // The copies still waiting for a paste.
  QStringList Waiting() const;
  // The folders and files being watched; empty once the offer is over.
  QStringList Watched() const;
  void SetOnTaken(Taken callback) { on_taken_ = std::move(callback); }
  void SetOnEnded(Ended callback) { on_ended_ = std::move(callback); }
  // How long copies are still waited for once the clipboard is emptied.
  void SetEmptiedWait(std::chrono::milliseconds wait) { emptied_wait_.setInterval(wait); }

 private:
  void Check();
  void TakeGone();

  QFileSystemWatcher watcher_;
  QTimer emptied_wait_;
  std::vector<Entry> entries_;
  OfferCheck offered_;
  Taken on_taken_;
  Ended on_ended_;
};

}  // namespace mirvo::dragdrop
