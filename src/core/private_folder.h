// PrivateFolder: a folder of this program that only this user can reach,
// held open, so that every file made in it goes through the folder itself
// and never through a path another user could swap meanwhile.
//
// Trusted: every folder from "/" down is this user's or root's, and nobody
// else may write to it unless it is root's and sticky (as /tmp is). Links
// on the way are followed and their targets checked the same way. Texts
// for the user (UTF-8) come back in `why`.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/unique_fd.h"

namespace mirvo {

class PrivateFolder {
 public:
  // Opens path, making missing folders (0700, this user's). The folders on
  // the way must be trusted; the last one must be this user's and is set to
  // 0700 when its mode is wider. nullopt with a reason otherwise.
  static std::optional<PrivateFolder> Open(const std::string& path, std::string& why);

  // Whether Open would accept path, without making or changing anything:
  // the folders that exist pass the same checks (the last may be wider
  // than 0700: Open narrows it).
  static bool CanOpen(const std::string& path, std::string* why = nullptr);

  // The path as opened (links resolved), without a trailing "/".
  const std::string& Path() const { return path_; }
  int Descriptor() const { return fd_.Get(); }

  // The folder holding relative ("a/b/name": the last part is not opened),
  // made when missing (0700); each part must be a folder of this user's and
  // no link. The parts must pass SafeRelativeParts.
  std::optional<UniqueFd> OpenParentOf(std::string_view relative, std::string& why) const;

 private:
  PrivateFolder(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
  UniqueFd fd_;
  std::string path_;
};

// The parts of a "/"-separated relative path; nullopt when it is empty or
// absolute, or a part is empty, "." or "..", or holds a NUL.
std::optional<std::vector<std::string>> SafeRelativeParts(std::string_view relative);

// The path of `path` relative to `folder` when it lies inside it, compared
// part by part after dropping "." parts (so "stage/../x" is not inside
// "stage"); nullopt otherwise or when a part is "..".
std::optional<std::string> RelativeInside(std::string_view folder, std::string_view path);

}  // namespace mirvo
