// Runs a fuzz target once on every file of the folders (or files) it is given, as the tests do
// with the seed corpora: no fuzzing engine, any compiler. Files named crash-* are findings
// kept for the record and are skipped. An empty corpus is a failure, so a moved folder is noticed.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

#include "fuzz/fuzz_check.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    if (!fs::is_directory(argv[i])) {
      inputs.emplace_back(argv[i]);
      continue;
    }
    for (const auto& item : fs::directory_iterator(argv[i])) {
      if (item.is_regular_file() && !item.path().filename().string().starts_with("crash-")) {
        inputs.push_back(item.path());
      }
    }
  }
  std::sort(inputs.begin(), inputs.end());
  for (const auto& path : inputs) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::cout << path.filename().string() << std::endl;  // the last name printed is the culprit
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::cout << inputs.size() << " inputs replayed\n";
  return inputs.empty() ? 1 : 0;
}
