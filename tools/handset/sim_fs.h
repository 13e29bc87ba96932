// The simulated handset's file system: a local folder seen through the
// handset's eyes. Local names are UTF-8; the handset's are code page 932.
//
// Handset paths: folder names and the file name joined by a separator byte
// (0xA5 in list lines, GET_FILE and PUT_FILE; "\" in DEL), optionally led by
// a tag "#...#". A top-level folder named "#X#" is tag X: its files are
// listed as "#X#" followed by their path inside it.
//
// Attributes: the 32 flag characters of a file in the order of the list line
// (first character protection, second copy guard; "1" on, "0" off, "-"
// unused) come from the sidecar ".handset-attributes" in the root, one line
// per file: <UTF-8 path relative to the root, "/" between folders> tab <32
// flags>. A file without a line has "00" followed by 30 "-". The handset
// rewrites the sidecar when PUT_FILE stores other flags and when DEL removes
// a file; edit it while the handset is stopped.
//
// Never lists or touches a symbolic link, anything named ".handset-...", or a
// name the list line cannot carry unambiguously (",", "\", 0xA5, control
// characters, no code page 932 form); never writes outside the root.
// Used from one thread.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "handset/sim_wire.h"

namespace mirvo::sim {

inline constexpr char kHandsetSeparator = '\xA5';
inline constexpr char kPcSeparator = '\\';
inline constexpr std::string_view kAttributesFile = ".handset-attributes";

// "00" followed by 30 "-": protection and copy guard off.
const std::string& DefaultFlags();

class HandsetFs {
 public:
  enum class Result { kOk, kBadName, kMissing, kProtected, kCopyGuarded, kFailed };

  // Throws std::runtime_error when the root is no folder or the sidecar
  // cannot be read or has a malformed line (the message names the line).
  explicit HandsetFs(std::filesystem::path root);
  ~HandsetFs();
  HandsetFs(const HandsetFs&) = delete;
  HandsetFs& operator=(const HandsetFs&) = delete;

  // Every file as a list line "[#tag#]path,size,yyyy/mm/dd/hhmm,flags," with
  // CR LF, sorted by local path.
  std::string ListText() const;

  Result ReadFile(std::string_view handset_path, char separator, std::string& data) const;
  Result Delete(std::string_view handset_path, char separator);

  // A file being received: written to a hidden temporary file beside its
  // destination, renamed over it by Commit, removed if never committed.
  class Upload {
   public:
    ~Upload();
    Upload(const Upload&) = delete;
    Upload& operator=(const Upload&) = delete;
    bool Write(std::string_view data);
    bool Commit();

   private:
    friend class HandsetFs;
    Upload(HandsetFs& fs, UniqueFd dir, std::string temp_name, std::string name, std::string relative,
           std::string flags, UniqueFd file);
    HandsetFs& fs_;
    UniqueFd dir_;
    std::string temp_name_, name_, relative_, flags_;
    UniqueFd file_;
    bool committed_ = false;
  };
  // Refuses a protected file with kProtected, a name that is not a plain
  // file name inside the root with kBadName.
  Result BeginUpload(std::string_view handset_path, std::string flags, std::unique_ptr<Upload>& upload);

 private:
  struct Resolved {
    std::vector<std::string> folders;  // UTF-8
    std::string name;                  // UTF-8
    std::string relative;              // folders and name joined by "/"
  };
  bool Resolve(std::string_view handset_path, char separator, Resolved& out) const;
  // Opens the folder chain below the root, creating it when asked; refuses
  // links. Invalid UniqueFd when a folder is missing or not a folder.
  UniqueFd OpenFolders(const std::vector<std::string>& folders, bool create) const;
  const std::string& FlagsOf(const std::string& relative) const;
  void SetFlags(const std::string& relative, const std::string& flags);
  void ListFolder(std::vector<std::string>& local, std::vector<std::pair<std::string, std::string>>& lines) const;

  std::filesystem::path root_;
  UniqueFd root_fd_;
  std::map<std::string, std::string> flags_;
};

}  // namespace mirvo::sim
