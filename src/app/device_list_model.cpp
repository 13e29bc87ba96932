#include "app/device_list_model.h"

#include <QCollator>
#include <QCollatorSortKey>
#include <QHash>
#include <algorithm>
#include <cmath>
#include <numeric>

#include "app/app_resources.h"
#include "pattern/wildcard.h"
#include "protocol/list_records.h"
#include "text/cp932.h"

namespace mirvo::app {
namespace {

const char* const kCaptions[DeviceListModel::kColumns] = {"名前", "サイズ", "種類", "更新日時", "保護設定",
                                                          "コピーガード"};

int FoldAscii(int c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

int CompareBytes(const std::string& a, const std::string& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const int x = FoldAscii(static_cast<unsigned char>(a[i]));
    const int y = FoldAscii(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}


}  // namespace

QString DeviceListModel::Description(const Row& row) {
  // What the details view's other columns say of the file, for a screen
  // reader on the views that show the name alone; a flag means little
  // without its caption.
  QStringList parts;
  for (std::size_t c = 1; c < row.cells.size(); ++c) {
    if (row.cells[c].isEmpty()) continue;
    parts << (c >= 4 ? QString("%1 %2").arg(QString::fromUtf8(kCaptions[c]), row.cells[c]) : row.cells[c]);
  }
  return parts.join(QString::fromUtf8("、"));
}

DeviceListModel::DeviceListModel(QObject* parent) : QAbstractTableModel(parent) {}

std::optional<QString> DeviceListModel::Fill(const ListingSnapshot& listing, const std::string& folder,
                                             const std::string* pattern) {
  const std::optional<std::string> wanted = pattern ? std::optional<std::string>(*pattern) : std::nullopt;
  if (last_fill_ && last_fill_->folder == folder && last_fill_->pattern == wanted && *last_fill_->listing == *listing)
    return last_fill_->error;
  beginResetModel();
  listing_ = listing;
  const std::vector<HandsetFile>& files = listing->Files();
  rows_.clear();
  row_of_line_.assign(files.size(), -1);
  std::optional<QString> error;
  rows_.reserve(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    const ListRecord& item = files[i].record;
    if (item.folder != folder) continue;
    if (pattern) {
      try {
        if (!MatchFileName(item.name, *pattern)) continue;
      } catch (const WildcardError& e) {
        error = QString::fromUtf8(e.what());
        break;
      }
    }
    Row row;
    row.line = static_cast<int>(i);
    row.size = item.size;
    row.name = item.name;
    const QString name = FromCp932(item.name);
    const QString ext = FileExtension(name);
    row.cells[0] = name;
    row.cells[1] = FromCp932(FormatThousands(std::to_string(item.size))) + " B";
    row.cells[2] = ShellTypeName(ext);
    // An unreadable date shows as 1899/12/29 00:00.
    if (!item.date.empty()) row.cells[3] = DateTimeCell(ParseListDate(item.date).value_or(ListDate{1899, 12, 29, 0, 0}));
    row.cells[4] = QString::fromStdString(FlagText(FlagAt(item.attributes, 32)));
    row.cells[5] = QString::fromStdString(FlagText(FlagAt(item.attributes, 31)));
    row.icon = ShellIcon(ext);
    rows_.push_back(std::move(row));
  }

  // The name order of the desktop's locale, case-sensitive.
  QCollator collator;
  collator.setCaseSensitivity(Qt::CaseSensitive);
  std::vector<QCollatorSortKey> keys;
  keys.reserve(rows_.size());
  for (const Row& row : rows_) keys.push_back(collator.sortKey(row.cells[0]));
  std::vector<std::size_t> order(rows_.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return keys[a].compare(keys[b]) < 0; });
  std::vector<Row> sorted;
  sorted.reserve(rows_.size());
  for (std::size_t i : order) sorted.push_back(std::move(rows_[i]));
  rows_ = std::move(sorted);
  Relink();
  // The user's sort outlives every refill: a search, a send, a delete or a
  // refresh lists the files again in the order they chose.
  Order();
  endResetModel();
  last_fill_ = FillInput{listing, folder, wanted, error};
  return error;
}

void DeviceListModel::Clear() {
  last_fill_.reset();
  listing_ = HandsetListing::Empty();
  beginResetModel();
  rows_.clear();
  row_of_line_.clear();
  endResetModel();
}

void DeviceListModel::Relink() {
  std::fill(row_of_line_.begin(), row_of_line_.end(), -1);
  for (std::size_t r = 0; r < rows_.size(); ++r) row_of_line_[static_cast<std::size_t>(rows_[r].line)] = static_cast<int>(r);
}

int DeviceListModel::LineOfRow(int row) const {
  return row >= 0 && row < static_cast<int>(rows_.size()) ? rows_[static_cast<std::size_t>(row)].line : -1;
}

int DeviceListModel::RowOfLine(int line) const {
  return line >= 0 && line < static_cast<int>(row_of_line_.size()) ? row_of_line_[static_cast<std::size_t>(line)] : -1;
}

std::int32_t DeviceListModel::SizeOfRow(int row) const {
  return row >= 0 && row < static_cast<int>(rows_.size()) ? rows_[static_cast<std::size_t>(row)].size : 0;
}

const std::string& DeviceListModel::NameOfRow(int row) const { return rows_.at(static_cast<std::size_t>(row)).name; }

void DeviceListModel::SortByColumn(int column, bool flag) {
  if (column < 0 || column >= kColumns) return;
  sort_column_ = column;
  sort_flag_ = flag;
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  const QModelIndexList before = persistentIndexList();
  std::vector<int> old_rows;
  old_rows.reserve(static_cast<std::size_t>(before.size()));
  for (const QModelIndex& index : before) old_rows.push_back(LineOfRow(index.row()));
  Order();
  QModelIndexList after;
  after.reserve(before.size());
  for (qsizetype i = 0; i < before.size(); ++i)
    after.push_back(index(RowOfLine(old_rows[static_cast<std::size_t>(i)]), before[i].column()));
  changePersistentIndexList(before, after);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void DeviceListModel::Order() {
  const int column = sort_column_;
  if (column < 0) return;
  auto sort = [this](auto less) {
    std::stable_sort(rows_.begin(), rows_.end(), less);
    Relink();
  };
  if (column == 1) {
    if (sort_flag_)
      sort([](const Row& a, const Row& b) { return a.size > b.size; });
    else
      sort([](const Row& a, const Row& b) { return a.size < b.size; });
    return;
  }
  const int sign = sort_flag_ ? 1 : -1;
  if (column == 0) {
    sort([sign](const Row& a, const Row& b) { return sign * CompareBytes(a.name, b.name) < 0; });
    return;
  }
  // Cells compare as their code page 932 bytes, like the names. ASCII is
  // its own code; the few other texts (type names) are converted once.
  QHash<QString, std::string> bytes;
  for (Row& row : rows_) {
    const QString& cell = row.cells[static_cast<std::size_t>(column)];
    if (std::all_of(cell.begin(), cell.end(), [](QChar c) { return c.unicode() < 0x80; })) {
      row.sort_key = cell.toStdString();
      continue;
    }
    auto it = bytes.find(cell);
    if (it == bytes.end())
      it = bytes.insert(cell, text::Utf8ToCp932(cell.toStdString()).value_or(cell.toStdString()));
    row.sort_key = *it;
  }
  sort([sign](const Row& a, const Row& b) { return sign * CompareBytes(a.sort_key, b.sort_key) < 0; });
}

int DeviceListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int DeviceListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumns; }

QVariant DeviceListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= static_cast<int>(rows_.size())) return {};
  const Row& row = rows_[static_cast<std::size_t>(index.row())];
  switch (role) {
    case Qt::DisplayRole:
      return row.cells[static_cast<std::size_t>(index.column())];
    case Qt::DecorationRole:
      return index.column() == 0 ? QVariant(row.icon) : QVariant();
    case Qt::AccessibleDescriptionRole:
      return index.column() == 0 ? QVariant(Description(row)) : QVariant();
    case Qt::ToolTipRole:
      // Every view may cut a long name: the whole of it is a hover away.
      return index.column() == 0 ? QVariant(row.cells[0]) : QVariant();
    case Qt::TextAlignmentRole:
      return index.column() == 1 ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    default:
      return {};
  }
}

QVariant DeviceListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kColumns) return {};
  if (role == Qt::DisplayRole) return QString::fromUtf8(kCaptions[section]);
  if (role == Qt::TextAlignmentRole)
    return section == 1 ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant(Qt::AlignLeft | Qt::AlignVCenter);
  return {};
}

Qt::ItemFlags DeviceListModel::flags(const QModelIndex& index) const {
  // Captions are never edited in place.
  return index.isValid() ? Qt::ItemIsSelectable | Qt::ItemIsEnabled : Qt::NoItemFlags;
}

QString DateTimeCell(const ListDate& date) {
  return QString::asprintf("%04d/%02d/%02d %02d:%02d", date.year, date.month, date.day, date.hour, date.minute);
}

}  // namespace mirvo::app
