// Runs a fuzz target without libFuzzer: first every file of the given
// corpus folders, then a seeded series of generated inputs, each in a heap
// buffer of exactly its size so that the sanitizers see any read past it.
//
//   fuzz_<name>_replay [--runs N] [--seed S] [--max-len L] <corpus dir>...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void RunOne(const std::vector<std::uint8_t>& input) {
  std::vector<std::uint8_t> exact(input);  // capacity == size
  exact.shrink_to_fit();
  LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
}

// Bytes the formats give a meaning to, and the edges of code page 932.
const std::uint8_t kInteresting[] = {'*',  '?',  '#',  '(',  ')',  '[',  ']',  '!',  '-',  '+',  '=',  '|',
                                     '\\', ',',  '/',  '"',  '0',  '1',  '9',  'a',  'n',  't',  'x',  ' ',
                                     '\r', '\n', '\t', 0x00, 0x81, 0x83, 0x9F, 0xE0, 0xFC, 0xA5, 0x5C, 0x5B,
                                     0x40, 0x7F, 0x80, 0xFD, 0xFF};

class Generator {
 public:
  Generator(std::uint32_t seed, std::size_t max_len) : rng_(seed), max_len_(max_len) {}

  std::uint8_t Byte() {
    if (Below(10) < 7) return kInteresting[Below(sizeof kInteresting)];
    return static_cast<std::uint8_t>(Below(256));
  }

  std::vector<std::uint8_t> Fresh() {
    std::vector<std::uint8_t> out(Below(max_len_ + 1));
    for (auto& b : out) b = Byte();
    return out;
  }

  std::vector<std::uint8_t> Mutate(std::vector<std::uint8_t> in) {
    for (std::size_t edits = 1 + Below(4); edits > 0; --edits) {
      const std::size_t at = in.empty() ? 0 : Below(in.size() + 1);
      switch (Below(4)) {
        case 0:
          if (at < in.size()) in[at] = Byte();
          break;
        case 1:
          if (in.size() < max_len_) in.insert(in.begin() + static_cast<std::ptrdiff_t>(at), Byte());
          break;
        case 2:
          if (at < in.size()) in.erase(in.begin() + static_cast<std::ptrdiff_t>(at));
          break;
        default: {  // repeat a slice
          if (in.empty()) break;
          const std::size_t from = Below(in.size());
          const std::size_t len = 1 + Below(std::min<std::size_t>(8, in.size() - from));
          std::vector<std::uint8_t> slice(in.begin() + static_cast<std::ptrdiff_t>(from),
                                          in.begin() + static_cast<std::ptrdiff_t>(from + len));
          if (in.size() + len <= max_len_) in.insert(in.begin() + static_cast<std::ptrdiff_t>(at), slice.begin(), slice.end());
          break;
        }
      }
    }
    return in;
  }

  std::size_t Below(std::size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

 private:
  std::mt19937 rng_;
  std::size_t max_len_;
};

std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  long runs = 10000;
  std::uint32_t seed = 1;
  std::size_t max_len = 96;
  std::vector<std::vector<std::uint8_t>> seeds;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::atol(argv[++i]);
    } else if (arg == "--seed" && i + 1 < argc) {
      seed = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (arg == "--max-len" && i + 1 < argc) {
      max_len = static_cast<std::size_t>(std::atol(argv[++i]));
    } else {
      std::error_code ec;
      for (const auto& entry : std::filesystem::directory_iterator(arg, ec)) {
        if (entry.is_regular_file()) seeds.push_back(ReadFile(entry.path()));
      }
      if (ec) {
        std::fprintf(stderr, "cannot read corpus folder %s: %s\n", arg.c_str(), ec.message().c_str());
        return 2;
      }
    }
  }
  for (const auto& input : seeds) RunOne(input);
  Generator gen(seed, max_len);
  for (long n = 0; n < runs; ++n) {
    if (!seeds.empty() && gen.Below(2) == 0) {
      RunOne(gen.Mutate(seeds[gen.Below(seeds.size())]));
    } else {
      RunOne(gen.Fresh());
    }
  }
  std::printf("%zu corpus inputs and %ld generated inputs ran\n", seeds.size(), runs);
  return 0;
}
