#include "app/folder_upload.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "core/private_folder.h"  // RelativeInside
#include "text/handset_name.h"

namespace mirvo::app {
namespace {

namespace fs = std::filesystem;

// Why the handset cannot take a path; subject: "ファイル名" or "フォルダー名".
QString NameFault(const text::HandsetNameCheck& check, const char* subject) {
  const QString shown = QString::fromStdString(check.ShownCharacter());
  switch (check.fault) {
    case text::HandsetNameFault::kLeadingHash: return QString("%1の先頭の「#」は電話機で使えません").arg(subject);
    case text::HandsetNameFault::kEmpty: return QString("%1が空です").arg(subject);
    case text::HandsetNameFault::kDotPart: return QString("%1「%2」は電話機で使えません").arg(subject, shown);
    default: return QString("%1に電話機で使えない文字「%2」が含まれています").arg(subject, shown);
  }
}

QString Utf8(const std::string& bytes) { return QFile::decodeName(QByteArray::fromStdString(bytes)); }

class Walk {
 public:
  Walk(FolderUpload& upload, std::string root, std::string name)
      : upload_(upload), root_(std::move(root)), name_(std::move(name)) {}

  // relative: below the root, "/" between parts; empty for the root.
  void Folder(const std::string& relative) {
    std::error_code ec;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(relative.empty() ? root_ : root_ + "/" + relative, ec), end; !ec && it != end;
         it.increment(ec))
      entries.push_back(*it);
    if (ec) return Refuse(relative, QString("フォルダーを読めません: %1").arg(QString::fromStdString(ec.message())));
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
    for (const fs::directory_entry& entry : entries) {
      const std::string child = (relative.empty() ? "" : relative + "/") + entry.path().filename().string();
      const fs::file_status status = entry.symlink_status(ec);
      if (fs::is_directory(status))
        Folder(child);
      else if (fs::is_regular_file(status))
        File(child, entry.path());
      else if (fs::is_symlink(status))
        Link(child, entry.path());
      else
        Refuse(child, "通常のファイルではありません");
    }
  }

 private:
  void Refuse(const std::string& relative, const QString& why) {
    upload_.refused.push_back({Utf8(relative.empty() ? name_ : name_ + "/" + relative), why});
  }

  // A link is sent as the file it leads to only when that lies inside.
  void Link(const std::string& relative, const fs::path& path) {
    std::error_code ec;
    const fs::path target = fs::canonical(path, ec);
    if (ec) return Refuse(relative, "リンク先が見つかりません");
    if (!RelativeInside(root_, target.string())) return Refuse(relative, "フォルダーの外を指すリンクです");
    const fs::file_status status = fs::status(target, ec);
    if (fs::is_directory(status)) return Refuse(relative, "フォルダーへのリンクは送りません");
    if (!fs::is_regular_file(status)) return Refuse(relative, "通常のファイルではありません");
    File(relative, target);
  }

  void File(const std::string& relative, const fs::path& path) {
    const std::string whole = name_ + "/" + relative;
    const text::HandsetNameCheck check = text::CheckHandsetPath(whole);
    if (!check.IsSendable()) return Refuse(relative, NameFault(check, "ファイル名"));
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec) return Refuse(relative, "ファイルを読めません");
    if (size > static_cast<std::uintmax_t>(std::numeric_limits<std::int32_t>::max()))
      return Refuse(relative, "電話機に送るには大きすぎます");
    // The folder's handset form: the whole path's, less the file name.
    const std::string folder = whole.substr(0, whole.rfind('/'));
    const text::HandsetNameCheck folder_check = text::CheckHandsetPath(folder);
    upload_.files.push_back(
        {QFile::decodeName(QByteArray::fromStdString(path.string())), folder_check.handset_name + "\\", Utf8(whole)});
    upload_.bytes += static_cast<std::int64_t>(size);
  }

  FolderUpload& upload_;
  const std::string root_;
  const std::string name_;
};

}  // namespace

void CollectFolder(const QString& path, FolderUpload& upload) {
  const std::string local = QFile::encodeName(path).toStdString();
  std::error_code ec;
  // The folder as dropped may be a link itself: what it names is the folder.
  const fs::path root = fs::canonical(local, ec);
  std::string name = fs::path(local).filename().string();
  if (name.empty()) name = fs::path(local).parent_path().filename().string();
  const QString shown = Utf8(name);
  if (ec || !fs::is_directory(root, ec)) {
    upload.refused.push_back({shown, "フォルダーを読めません"});
    return;
  }
  if (const text::HandsetNameCheck check = text::CheckHandsetPath(name); !check.IsSendable()) {
    upload.refused.push_back({shown, NameFault(check, "フォルダー名")});
    return;
  }
  Walk(upload, root.string(), name).Folder({});
}

}  // namespace mirvo::app
