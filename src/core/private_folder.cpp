#include "core/private_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>

namespace mirvo {
namespace {

constexpr int kMaxLinks = 32;
constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::string Reason(const char* what, int error, std::string_view path) {
  return std::string(what) + ": " + std::strerror(error) + " (" + std::string(path) + ")";
}

std::deque<std::string> Parts(std::string_view path) {
  std::deque<std::string> parts;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view part = path.substr(0, slash);
    if (!part.empty() && part != ".") parts.emplace_back(part);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return parts;
}

// Nobody but this user (or root) can replace what is in it.
bool Trusted(const struct stat& st) {
  if (st.st_uid != ::geteuid() && st.st_uid != 0) return false;
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0) return true;
  return st.st_uid == 0 && (st.st_mode & S_ISVTX) != 0;
}

struct Step {
  UniqueFd fd;
  std::string name;
};

std::string Joined(const std::vector<Step>& steps) {
  std::string path;
  for (std::size_t i = 1; i < steps.size(); ++i) path += "/" + steps[i].name;
  return path.empty() ? "/" : path;
}

// Opens a folder by descriptors from "/". With make, missing folders are
// made and the last one is narrowed to 0700; without, the walk ends
// successfully (and without a descriptor) at the first missing folder.
std::optional<Step> Walk(const std::string& path, bool make, std::string& why) {
  if (path.empty() || path[0] != '/') {
    why = "作業フォルダの場所が絶対パスではありません (" + path + ")";
    return std::nullopt;
  }
  std::vector<Step> steps;
  steps.push_back({UniqueFd(::open("/", kDirFlags)), ""});
  std::deque<std::string> parts = Parts(path);
  int links = 0;
  auto check = [&](const Step& step, bool last) {
    struct stat st {};
    if (::fstat(step.fd.Get(), &st) != 0) {
      why = Reason("フォルダを確認できません", errno, Joined(steps));
      return false;
    }
    if (!last) {
      if (Trusted(st)) return true;
      why = "他のユーザーが変更できるフォルダの中にあります (" + Joined(steps) + ")";
      return false;
    }
    if (st.st_uid != ::geteuid()) {
      why = "作業フォルダの所有者が他のユーザーです (" + Joined(steps) + ")";
      return false;
    }
    if (make && (st.st_mode & 07777) != 0700 && ::fchmod(step.fd.Get(), 0700) != 0) {
      why = Reason("作業フォルダの権限を変更できません", errno, Joined(steps));
      return false;
    }
    return true;
  };
  if (!steps.back().fd.IsOpen() || !check(steps.back(), parts.empty())) {
    if (why.empty()) why = Reason("フォルダを開けません", errno, "/");
    return std::nullopt;
  }
  while (!parts.empty()) {
    const std::string name = std::move(parts.front());
    parts.pop_front();
    if (name == "..") {
      if (steps.size() > 1) steps.pop_back();
      continue;
    }
    const bool last = parts.empty();
    const int at = steps.back().fd.Get();
    UniqueFd fd(::openat(at, name.c_str(), kDirFlags));
    if (!fd.IsOpen() && errno == ENOENT) {
      if (!make) return Step{};
      if (::mkdirat(at, name.c_str(), 0700) != 0 && errno != EEXIST) {
        why = Reason("フォルダを作成できません", errno, Joined(steps) + "/" + name);
        return std::nullopt;
      }
      fd = UniqueFd(::openat(at, name.c_str(), kDirFlags));
    }
    if (!fd.IsOpen() && (errno == ELOOP || errno == ENOTDIR)) {
      // A link is followed only where nobody else could have put it, and
      // never in place of the folder itself.
      struct stat link {};
      char target[4096];
      const bool is_link = ::fstatat(at, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode);
      const ssize_t n = is_link ? ::readlinkat(at, name.c_str(), target, sizeof target) : -1;
      const std::string here = Joined(steps) + (steps.size() > 1 ? "/" : "") + name;
      if (!is_link) {
        why = "作業フォルダの場所にファイルがあります (" + here + ")";
        return std::nullopt;
      }
      if (last || (link.st_uid != ::geteuid() && link.st_uid != 0) || n <= 0 || n >= static_cast<ssize_t>(sizeof target) || ++links > kMaxLinks) {
        why = "作業フォルダがリンクになっています (" + here + ")";
        return std::nullopt;
      }
      const std::string_view to(target, static_cast<std::size_t>(n));
      if (to[0] == '/') steps.resize(1);
      std::deque<std::string> expanded = Parts(to);
      parts.insert(parts.begin(), expanded.begin(), expanded.end());
      continue;
    }
    if (!fd.IsOpen()) {
      why = Reason("フォルダを開けません", errno, Joined(steps) + "/" + name);
      return std::nullopt;
    }
    steps.push_back({std::move(fd), name});
    if (!check(steps.back(), last)) return std::nullopt;
  }
  Step result{std::move(steps.back().fd), Joined(steps)};
  return result;
}

}  // namespace

std::optional<PrivateFolder> PrivateFolder::Open(const std::string& path, std::string& why) {
  std::optional<Step> folder = Walk(path, true, why);
  if (!folder) return std::nullopt;
  return PrivateFolder(std::move(folder->fd), std::move(folder->name));
}

bool PrivateFolder::CanOpen(const std::string& path, std::string* why) {
  std::string reason;
  const bool ok = Walk(path, false, reason).has_value();
  if (why) *why = reason;
  return ok;
}

std::optional<UniqueFd> PrivateFolder::OpenParentOf(std::string_view relative, std::string& why) const {
  const std::optional<std::vector<std::string>> parts = SafeRelativeParts(relative);
  if (!parts) {
    why = "作業フォルダの外には書き込めません (" + std::string(relative) + ")";
    return std::nullopt;
  }
  UniqueFd at(::fcntl(fd_.Get(), F_DUPFD_CLOEXEC, 0));
  std::string here = path_;
  for (std::size_t i = 0; at.IsOpen() && i + 1 < parts->size(); ++i) {
    const char* name = (*parts)[i].c_str();
    here += "/" + (*parts)[i];
    if (::mkdirat(at.Get(), name, 0700) != 0 && errno != EEXIST) {
      why = Reason("フォルダを作成できません", errno, here);
      return std::nullopt;
    }
    UniqueFd next(::openat(at.Get(), name, kDirFlags));
    struct stat st {};
    if (!next.IsOpen() || ::fstat(next.Get(), &st) != 0) {
      why = errno == ELOOP || errno == ENOTDIR ? "作業フォルダの場所にファイルかリンクがあります (" + here + ")"
                                               : Reason("フォルダを開けません", errno, here);
      return std::nullopt;
    }
    if (st.st_uid != ::geteuid()) {
      why = "作業フォルダの所有者が他のユーザーです (" + here + ")";
      return std::nullopt;
    }
    at = std::move(next);
  }
  if (!at.IsOpen()) {
    why = Reason("フォルダを開けません", errno, path_);
    return std::nullopt;
  }
  return at;
}

std::optional<std::vector<std::string>> SafeRelativeParts(std::string_view relative) {
  std::vector<std::string> parts;
  if (relative.empty() || relative[0] == '/') return std::nullopt;
  for (;;) {
    const std::size_t slash = relative.find('/');
    const std::string_view part = relative.substr(0, slash);
    if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string_view::npos) return std::nullopt;
    parts.emplace_back(part);
    if (slash == std::string_view::npos) return parts;
    relative.remove_prefix(slash + 1);
  }
}

std::optional<std::string> RelativeInside(std::string_view folder, std::string_view path) {
  const std::deque<std::string> base = Parts(folder);
  const std::deque<std::string> full = Parts(path);
  if (folder.empty() || path.empty() || (folder[0] == '/') != (path[0] == '/') || full.size() <= base.size())
    return std::nullopt;
  for (const std::string& part : full)
    if (part == "..") return std::nullopt;
  for (const std::string& part : base)
    if (part == "..") return std::nullopt;
  if (!std::equal(base.begin(), base.end(), full.begin())) return std::nullopt;
  std::string relative;
  for (std::size_t i = base.size(); i < full.size(); ++i) relative += (relative.empty() ? "" : "/") + full[i];
  return relative;
}

}  // namespace mirvo
