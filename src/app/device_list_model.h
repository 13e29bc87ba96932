// The handset's files as rows: one model behind the icon, list and details
// views. Each row knows the cache line it shows and each line the row that
// shows it, both by index, so neither is ever searched for.
#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/handset_listing.h"
#include "protocol/list_records.h"

namespace mirvo::app {

class DeviceListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  static constexpr int kColumns = 6;

  explicit DeviceListModel(QObject* parent = nullptr);

  // Rebuilds every row from the files whose folder equals folder and whose
  // name matches pattern (none: all), in name order, then in the order of
  // the last SortByColumn, which stands until the next one. A malformed pattern
  // ends the fill at the file it met: the rows before stay, and the error
  // (UTF-8) is returned. A fill from the same files, folder and pattern as
  // the last one changes nothing, so the user's sort and selection stay.
  std::optional<QString> Fill(const ListingSnapshot& listing, const std::string& folder, const std::string* pattern);
  // The listing the rows show.
  const ListingSnapshot& Listing() const { return listing_; }
  void Clear();

  // The listing's file a row shows (-1 for no row) and the row showing a
  // file (-1 when none of this fill), both in constant time.
  int LineOfRow(int row) const;
  int RowOfLine(int line) const;
  std::int32_t SizeOfRow(int row) const;
  // The name bytes (code page 932) of a row.
  const std::string& NameOfRow(int row) const;

  // Sorts by a column, now and after every fill. Text columns: ascending
  // when flag is set. Size: the larger first when flag is set. Persistent
  // indexes (the selection) follow.
  void SortByColumn(int column, bool flag);
  // The column of the last SortByColumn and its flag; -1 before any.
  int SortColumn() const { return sort_column_; }
  bool SortFlag() const { return sort_flag_; }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  struct Row {
    int line = -1;
    std::int32_t size = 0;
    std::string name;  // code page 932, for the caption comparison
    std::string sort_key;  // the sorted column's cell in code page 932
    std::array<QString, kColumns> cells;
    QIcon icon;
  };

  static QString Description(const Row& row);
  // The rows put in the kept order, without telling the views.
  void Order();
  void Relink();

  std::vector<Row> rows_;
  std::vector<int> row_of_line_;
  ListingSnapshot listing_ = HandsetListing::Empty();
  struct FillInput {
    ListingSnapshot listing;
    std::string folder;
    std::optional<std::string> pattern;
    std::optional<QString> error;
  };
  std::optional<FillInput> last_fill_;
  int sort_column_ = -1;
  bool sort_flag_ = true;
};

// A list date as the details view shows it: "yyyy/mm/dd hh:mm".
QString DateTimeCell(const ListDate& date);

}  // namespace mirvo::app
