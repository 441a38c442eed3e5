// Replays a fuzz corpus through the fuzz target without libFuzzer, so the
// normal test suite checks every input the fuzzer kept.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  int n = 0;
  for (int i = 1; i < argc; ++i) {
    for (const auto& e : std::filesystem::recursive_directory_iterator(argv[i])) {
      if (!e.is_regular_file()) continue;
      std::ifstream in(e.path(), std::ios::binary);
      std::string bytes(std::istreambuf_iterator<char>(in), {});
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      ++n;
    }
  }
  std::printf("replayed %d inputs\n", n);
  return n > 0 ? 0 : 1;
}
