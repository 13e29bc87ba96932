#include "handset/sim_fs.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "text/cp932.h"

namespace mirvo::sim {
namespace {

constexpr std::string_view kReservedPrefix = ".handset-";
constexpr int kOpenFolder = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool Reserved(std::string_view name) { return name.substr(0, kReservedPrefix.size()) == kReservedPrefix; }

// One folder or file name as the handset writes it (code page 932), checked
// so that a list line carries it unambiguously and it cannot leave its
// folder.
bool ValidComponent(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || Reserved(name)) return false;
  bool ok = true;
  text::ForEachChar(name, [&](std::size_t pos, std::size_t len) {
    if (len != 1) return;
    const auto c = static_cast<unsigned char>(name[pos]);
    if (c < 0x20 || c == 0x7F || c == '/' || c == ',' || c == '\\' || c == 0xA5) ok = false;
  });
  return ok && text::Cp932ToUtf8(name).has_value();
}

bool IsTagForm(std::string_view name) {
  return name.size() >= 3 && name.front() == '#' && name.back() == '#' &&
         name.substr(1, name.size() - 2).find('#') == std::string_view::npos;
}

// Splits a handset path into its tag (kept as the first part) and the names
// between separators; a separator byte that is the second byte of a
// double-byte character does not split.
struct SplitPath {
  bool tagged = false;
  std::vector<std::string> parts;
};

SplitPath SplitHandsetPath(std::string_view path, char separator) {
  SplitPath out;
  if (!path.empty() && path.front() == '#') {
    const auto end = path.find('#', 1);
    if (end != std::string_view::npos) {
      out.tagged = true;
      out.parts.emplace_back(path.substr(0, end + 1));
      path.remove_prefix(end + 1);
    }
  }
  std::string current;
  text::ForEachChar(path, [&](std::size_t pos, std::size_t len) {
    if (len == 1 && path[pos] == separator) {
      out.parts.push_back(std::move(current));
      current.clear();
    } else {
      current.append(path.substr(pos, len));
    }
  });
  out.parts.push_back(std::move(current));
  return out;
}

std::string JoinHandsetPath(const std::vector<std::string>& parts, char separator) {
  std::string out;
  std::size_t i = 0;
  if (parts.size() > 1 && IsTagForm(parts[0])) out = parts[i++];
  for (const std::size_t first = i; i < parts.size(); ++i) {
    if (i > first) out.push_back(separator);
    out += parts[i];
  }
  return out;
}

std::string DateText(time_t mtime) {
  tm local{};
  if (!localtime_r(&mtime, &local)) return {};
  char buf[32];
  const std::size_t n = std::strftime(buf, sizeof buf, "%Y/%m/%d/%H%M", &local);
  return n == 15 ? std::string(buf, n) : std::string();  // only four-digit years fit the field
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool ReadAll(int fd, std::string& out) {
  out.clear();
  char buf[65536];
  while (true) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out.append(buf, static_cast<std::size_t>(n));
  }
}

bool ValidFlags(std::string_view flags) {
  return flags.size() == 32 && std::all_of(flags.begin(), flags.end(), [](char c) {
           return static_cast<unsigned char>(c) > 0x20 && c != ',';
         });
}

}  // namespace

const std::string& DefaultFlags() {
  static const std::string kFlags = "00" + std::string(30, '-');
  return kFlags;
}

HandsetFs::HandsetFs(std::filesystem::path root) : root_(std::move(root)) {
  root_fd_ = UniqueFd(::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root_fd_.IsOpen()) throw std::runtime_error("not a readable folder: " + root_.string());

  UniqueFd sidecar(::openat(root_fd_.Get(), std::string(kAttributesFile).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!sidecar.IsOpen()) {
    if (errno == ENOENT) return;
    throw std::runtime_error("cannot read " + (root_ / kAttributesFile).string());
  }
  std::string content;
  if (!ReadAll(sidecar.Get(), content)) throw std::runtime_error("cannot read " + (root_ / kAttributesFile).string());
  std::size_t line_no = 0;
  for (std::size_t pos = 0; pos < content.size();) {
    auto end = content.find('\n', pos);
    if (end == std::string::npos) end = content.size();
    std::string_view line(content.data() + pos, end - pos);
    pos = end + 1;
    ++line_no;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    const auto tab = line.find('\t');
    if (tab == 0 || tab == std::string_view::npos || !ValidFlags(line.substr(tab + 1)))
      throw std::runtime_error((root_ / kAttributesFile).string() + ":" + std::to_string(line_no) +
                               ": expected <path> TAB <32 flag characters>");
    flags_[std::string(line.substr(0, tab))] = std::string(line.substr(tab + 1));
  }
}

HandsetFs::~HandsetFs() = default;

const std::string& HandsetFs::FlagsOf(const std::string& relative) const {
  const auto it = flags_.find(relative);
  return it == flags_.end() ? DefaultFlags() : it->second;
}

void HandsetFs::SetFlags(const std::string& relative, const std::string& flags) {
  const auto it = flags_.find(relative);
  if (flags == DefaultFlags()) {
    if (it == flags_.end()) return;
    flags_.erase(it);
  } else {
    if (it != flags_.end() && it->second == flags) return;
    flags_[relative] = flags;
  }
  std::string content;
  for (const auto& [path, f] : flags_) content += path + "\t" + f + "\n";
  const std::string temp = std::string(kAttributesFile) + ".tmp";
  UniqueFd out(::openat(root_fd_.Get(), temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (out.IsOpen() && WriteAll(out.Get(), content) && ::close(out.Release()) == 0)
    ::renameat(root_fd_.Get(), temp.c_str(), root_fd_.Get(), std::string(kAttributesFile).c_str());
  else
    ::unlinkat(root_fd_.Get(), temp.c_str(), 0);
}

void HandsetFs::ListFolder(std::vector<std::string>& local,
                           std::vector<std::pair<std::string, std::string>>& lines) const {
  std::filesystem::path dir = root_;
  std::string relative_dir;
  for (const auto& part : local) {
    dir /= part;
    relative_dir += part + "/";
  }
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    struct stat st {};
    if (Reserved(name) || ::lstat(entry.path().c_str(), &st) != 0) continue;
    local.push_back(name);
    if (S_ISDIR(st.st_mode)) {
      ListFolder(local, lines);
    } else if (S_ISREG(st.st_mode)) {
      // Listed only when its handset path leads back to this very file.
      std::vector<std::string> wire_parts;
      for (const auto& part : local) {
        auto cp = text::Utf8ToCp932(part);
        if (!cp) break;
        wire_parts.push_back(std::move(*cp));
      }
      const std::string relative = relative_dir + name;
      Resolved back;
      if (wire_parts.size() == local.size()) {
        const std::string wire = JoinHandsetPath(wire_parts, kHandsetSeparator);
        if (Resolve(wire, kHandsetSeparator, back) && back.relative == relative)
          lines.emplace_back(relative, wire + "," + std::to_string(st.st_size) + "," + DateText(st.st_mtime) + "," +
                                           FlagsOf(relative) + ",\r\n");
      }
    }
    local.pop_back();
  }
}

std::string HandsetFs::ListText() const {
  std::vector<std::pair<std::string, std::string>> lines;
  std::vector<std::string> local;
  ListFolder(local, lines);
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const auto& line : lines) out += line.second;
  return out;
}

bool HandsetFs::Resolve(std::string_view handset_path, char separator, Resolved& out) const {
  const SplitPath split = SplitHandsetPath(handset_path, separator);
  out = Resolved{};
  for (std::size_t i = 0; i < split.parts.size(); ++i) {
    const std::string& part = split.parts[i];
    if (!ValidComponent(part) || (split.tagged && i == 0 && !IsTagForm(part))) return false;
    auto utf8 = text::Cp932ToUtf8(part);
    if (!utf8 || utf8->find('/') != std::string::npos) return false;
    if (i + 1 < split.parts.size())
      out.folders.push_back(*utf8);
    else
      out.name = *utf8;
    out.relative += (i ? "/" : "") + *utf8;
  }
  // A tag alone names no file: the empty name after it was refused above.
  return !out.name.empty();
}

UniqueFd HandsetFs::OpenFolders(const std::vector<std::string>& folders, bool create) const {
  UniqueFd current(::dup(root_fd_.Get()));
  for (const auto& folder : folders) {
    UniqueFd next(::openat(current.Get(), folder.c_str(), kOpenFolder));
    if (!next.IsOpen() && errno == ENOENT && create) {
      if (::mkdirat(current.Get(), folder.c_str(), 0755) != 0 && errno != EEXIST) return UniqueFd();
      next = UniqueFd(::openat(current.Get(), folder.c_str(), kOpenFolder));
    }
    if (!next.IsOpen()) return UniqueFd();
    current = std::move(next);
  }
  return current;
}

HandsetFs::Result HandsetFs::ReadFile(std::string_view handset_path, char separator, std::string& data) const {
  Resolved resolved;
  if (!Resolve(handset_path, separator, resolved)) return Result::kBadName;
  const UniqueFd dir = OpenFolders(resolved.folders, false);
  if (!dir.IsOpen()) return Result::kMissing;
  UniqueFd file(::openat(dir.Get(), resolved.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.IsOpen())
    return errno == ENOENT || errno == ELOOP || errno == ENOTDIR ? Result::kMissing : Result::kFailed;
  struct stat st {};
  if (::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return Result::kMissing;
  if (FlagsOf(resolved.relative)[1] == '1') return Result::kCopyGuarded;
  return ReadAll(file.Get(), data) ? Result::kOk : Result::kFailed;
}

HandsetFs::Result HandsetFs::Delete(std::string_view handset_path, char separator) {
  Resolved resolved;
  if (!Resolve(handset_path, separator, resolved)) return Result::kBadName;
  const UniqueFd dir = OpenFolders(resolved.folders, false);
  if (!dir.IsOpen()) return Result::kMissing;
  struct stat st {};
  if (::fstatat(dir.Get(), resolved.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
    return Result::kMissing;
  if (FlagsOf(resolved.relative)[0] == '1') return Result::kProtected;
  if (::unlinkat(dir.Get(), resolved.name.c_str(), 0) != 0) return Result::kFailed;
  SetFlags(resolved.relative, DefaultFlags());
  return Result::kOk;
}

HandsetFs::Result HandsetFs::BeginUpload(std::string_view handset_path, std::string flags,
                                         std::unique_ptr<Upload>& upload) {
  Resolved resolved;
  if (!Resolve(handset_path, kHandsetSeparator, resolved) || !ValidFlags(flags)) return Result::kBadName;
  // Refuse before creating any folder.
  {
    const UniqueFd existing_dir = OpenFolders(resolved.folders, false);
    struct stat st {};
    if (existing_dir.IsOpen() && ::fstatat(existing_dir.Get(), resolved.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      if (!S_ISREG(st.st_mode)) return Result::kBadName;
      if (FlagsOf(resolved.relative)[0] == '1') return Result::kProtected;
    }
  }
  UniqueFd dir = OpenFolders(resolved.folders, true);
  if (!dir.IsOpen()) return Result::kFailed;
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = std::string(kReservedPrefix) + "upload-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    UniqueFd file(::openat(dir.Get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (file.IsOpen()) {
      upload.reset(new Upload(*this, std::move(dir), std::move(temp), resolved.name, resolved.relative,
                              std::move(flags), std::move(file)));
      return Result::kOk;
    }
    if (errno != EEXIST) break;
  }
  return Result::kFailed;
}

HandsetFs::Upload::Upload(HandsetFs& fs, UniqueFd dir, std::string temp_name, std::string name, std::string relative,
                          std::string flags, UniqueFd file)
    : fs_(fs),
      dir_(std::move(dir)),
      temp_name_(std::move(temp_name)),
      name_(std::move(name)),
      relative_(std::move(relative)),
      flags_(std::move(flags)),
      file_(std::move(file)) {}

HandsetFs::Upload::~Upload() {
  if (!committed_) ::unlinkat(dir_.Get(), temp_name_.c_str(), 0);
}

bool HandsetFs::Upload::Write(std::string_view data) { return file_.IsOpen() && WriteAll(file_.Get(), data); }

bool HandsetFs::Upload::Commit() {
  if (!file_.IsOpen() || ::close(file_.Release()) != 0) return false;
  if (::renameat(dir_.Get(), temp_name_.c_str(), dir_.Get(), name_.c_str()) != 0) return false;
  committed_ = true;
  fs_.SetFlags(relative_, flags_);
  return true;
}

}  // namespace mirvo::sim
