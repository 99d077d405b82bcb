// quillex-benchtree DIR MIB SEED: writes a deterministic tree of about MIB
// MiB of files into DIR (which must not exist): thousands of files in nested
// folders, long names with blanks, sizes from 0 bytes to a few MiB (most of
// them small, as on a phone), contents from a seeded generator.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::uint64_t Next(std::uint64_t& state) {
  state += 0x9E3779B97F4A7C15u;
  std::uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

const char* const kWords[] = {"Camera", "Picture", "holiday", "Ring tone", "Voice memo", "Note",
                              "Music", "video clip", "Theme", "Contacts backup", "Sunday", "Lake"};

std::string Name(std::uint64_t& r, int n, const char* extension) {
  std::string name = kWords[Next(r) % 12];
  name += " ";
  name += kWords[Next(r) % 12];
  name += " " + std::to_string(n) + extension;
  return name;
}

std::uint64_t FileSize(std::uint64_t& r) {
  const std::uint64_t roll = Next(r) % 1000;
  if (roll < 50) return 0;
  if (roll < 850) return Next(r) % 2048;
  if (roll < 970) return Next(r) % (32 * 1024);
  if (roll < 998) return Next(r) % (256 * 1024);
  return 1024 * 1024 + Next(r) % (2 * 1024 * 1024);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: quillex-benchtree DIR MIB SEED\n";
    return 2;
  }
  const fs::path root = argv[1];
  const std::uint64_t target = std::strtoull(argv[2], nullptr, 10) << 20;
  std::uint64_t r = std::strtoull(argv[3], nullptr, 10);
  if (fs::exists(root)) {
    std::cerr << "quillex-benchtree: " << root << " exists\n";
    return 1;
  }
  std::vector<fs::path> folders{root};
  fs::create_directories(root);
  std::uint64_t written = 0;
  std::vector<char> buffer;
  for (int n = 0; written < target; ++n) {
    // A new folder now and then, below a folder made before.
    if (n % 12 == 0) {
      const fs::path parent = folders[Next(r) % folders.size()];
      if (parent.string().size() - root.string().size() < 120) {
        folders.push_back(parent / Name(r, n, ""));
        fs::create_directories(folders.back());
      }
    }
    std::uint64_t size = FileSize(r);
    if (size > target - written) size = target - written;
    buffer.resize(size);
    for (std::size_t i = 0; i < size; i += 8) {
      const std::uint64_t v = Next(r);
      for (std::size_t b = 0; b < 8 && i + b < size; ++b) buffer[i + b] = static_cast<char>(v >> (8 * b));
    }
    std::ofstream out(folders[Next(r) % folders.size()] / Name(r, n, ".dat"), std::ios::binary);
    out.write(buffer.data(), static_cast<std::streamsize>(size));
    if (!out) {
      std::cerr << "quillex-benchtree: cannot write below " << root << "\n";
      return 1;
    }
    written += size;
  }
  return 0;
}
