// Where the program keeps its files on this machine.
#pragma once

#include <string>

namespace mirvo {

// Settings dir: $APPDATA, else $XDG_CONFIG_HOME, else ~/.config; then
// "/ZQR/mirvo/". Ends in "/". Read from the environment at every call, so
// tests can point it at a throwaway folder.
std::string SettingsDir();

// Staging dir for fetched files: $TEMP + "/ZQR/mirvo/" when that path can
// be trusted (PrivateFolder::CanOpen), else $XDG_CACHE_HOME (else
// ~/.cache) + "/ZQR/mirvo/". Ends in "/". Per user and kept across reboots,
// since after a cut it holds the only copy. Not created here.
std::string StagingDirPath();

// Directory of the running executable (/proc/self/exe), without a trailing
// "/"; empty when it cannot be read.
std::string ProgramDir();

}  // namespace mirvo
