// What assistive tools are told of the icon, small-icon and list views:
// one item per file, named by the file's whole name and described by its
// other columns (size, type, date), where the toolkit would count each
// column of the list as an item of its own and name another file's cell.
#pragma once

#include <QList>

class QListView;

namespace mirvo::app {

// view shows one column of a model with several; described_columns are the
// model's columns whose texts make up an item's description.
void ExposeOneItemPerRow(QListView* view, const QList<int>& described_columns);

}  // namespace mirvo::app
