// LazyFileMime: the data of a drag out of the file list, whose files are
// fetched from the handset only when a drop target first asks for them:
// listing the formats never fetches, and a request that arrives while the
// fetch runs (the fetch lets window events run) gets nothing rather than a
// half-made list.
#pragma once

#include <QMimeData>
#include <QStringList>
#include <functional>

namespace mirvo::dragdrop {

class LazyFileMime : public QMimeData {
  Q_OBJECT

 public:
  // fetch returns the local paths to offer; called at most once. A mime
  // made with files already fetched never calls anything.
  LazyFileMime(std::function<QStringList()> fetch, bool cut);
  LazyFileMime(const QStringList& files, bool cut);

  QStringList formats() const override;
  bool hasFormat(const QString& mimetype) const override;

  bool Fetched() const { return fetched_; }
  bool Fetching() const { return fetching_; }
  int FetchCount() const { return fetch_count_; }

 protected:
  QVariant retrieveData(const QString& mimetype, QMetaType type) const override;

 private:
  void Fill(const QStringList& files) const;

  std::function<QStringList()> fetch_;
  bool cut_;
  mutable bool fetched_ = false;
  mutable bool fetching_ = false;
  mutable int fetch_count_ = 0;
  mutable QMimeData cache_;
};

}  // namespace mirvo::dragdrop
