// A local folder pasted or dropped on the window: the files below it, each
// with the handset folder it goes into (a folder of the same name, its
// sub-folders below), and the entries that cannot go, with their reasons.
// Nothing outside the folder is read: a link leading out is refused, not
// followed.
#pragma once

#include <QList>
#include <QString>
#include <cstdint>

#include "app/transfer_controller.h"
#include "dragdrop/file_list_formats.h"

namespace mirvo::app {

struct FolderUpload {
  QList<TransferController::Upload> files;
  QList<dragdrop::PassedOver> refused;
  std::int64_t bytes = 0;
};

// Adds the files below the folder at path to upload, in name order.
void CollectFolder(const QString& path, FolderUpload& upload);

}  // namespace mirvo::app
