// Runs a fuzz harness without libFuzzer: every file named on the command line
// (a folder: every file in it) is passed to LLVMFuzzerTestOneInput once.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size);

namespace {

void RunFile(const std::filesystem::path& File) {
  std::ifstream In(File, std::ios::binary);
  const std::vector<char> Bytes{std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(Bytes.data()), Bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  size_t Runs = 0;
  for (int I = 1; I < argc; ++I) {
    const std::filesystem::path Arg = argv[I];
    if (std::filesystem::is_directory(Arg)) {
      for (const auto& Entry : std::filesystem::recursive_directory_iterator(Arg))
        if (Entry.is_regular_file()) RunFile(Entry.path()), ++Runs;
    } else {
      RunFile(Arg);
      ++Runs;
    }
  }
  std::printf("%zu inputs run\n", Runs);
  return 0;
}
