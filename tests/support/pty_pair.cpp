#include "pty_pair.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace mirvo::testing {

PtyPair::PtyPair() {
  char name[256] = {};
  if (openpty(&master_, &slave_keep_, name, nullptr, nullptr) != 0) {
    std::perror("openpty");
    std::abort();
  }
  termios tio{};
  tcgetattr(slave_keep_, &tio);
  cfmakeraw(&tio);
  tcsetattr(slave_keep_, TCSANOW, &tio);
  slave_path_ = name;
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
  if (master_ >= 0) close(master_);
  if (slave_keep_ >= 0) close(slave_keep_);
}

void PtyPair::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(master_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{master_, POLLOUT, 0};
      poll(&p, 1, 1000);
    } else if (n < 0 && errno != EINTR) {
      std::perror("pty write");
      return;
    }
  }
}

std::string PtyPair::Receive(std::size_t n, std::chrono::milliseconds bound) {
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (out.size() < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    const ssize_t r = read(master_, buf, std::min(sizeof buf, n - out.size()));
    if (r > 0) out.append(buf, static_cast<std::size_t>(r));
    else if (r == 0 || (errno != EAGAIN && errno != EINTR)) break;
  }
  return out;
}

void PtyPair::HangUp() {
  if (master_ >= 0) close(master_);
  master_ = -1;
  if (slave_keep_ >= 0) close(slave_keep_);
  slave_keep_ = -1;
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "mirvo-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) {
    std::perror("mkdtemp");
    std::abort();
  }
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void TempDir::LinkPort(int n, const std::string& target) {
  const auto dir = std::filesystem::path(SettingsDir()) / "ports";
  std::filesystem::create_directories(dir);
  const auto link = dir / ("COM" + std::to_string(n));
  std::error_code ec;
  std::filesystem::remove(link, ec);
  std::filesystem::create_symlink(target, link);
}

}  // namespace mirvo::testing
