// Reading the Intel HEX file of a 4 MiB firmware image: ReadHexFile against
// GNU objcopy converting the same file to a binary with 0xFF gaps.
#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "datafile/hex_file.h"

extern char** environ;

namespace {

constexpr size_t kImageSize = 4u * 1024 * 1024;
// High up, so that extended linear address records occur.
constexpr const char* kImageAddress = "0x08000000";
constexpr const char* kObjcopy = "/usr/bin/objcopy";

// Runs a program with its arguments and waits for it; true on exit code 0.
bool RunProgram(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  if (waitpid(child, &status, 0) != child) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct Files {
  std::filesystem::path dir;
  std::string hex;
  std::string bin;
  bool ok = false;
};

Files& BenchFiles() {
  static Files files = [] {
    Files f;
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quorvel-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return f;
    f.dir = pattern;
    const std::string image = (f.dir / "image.bin").string();
    f.hex = (f.dir / "image.hex").string();
    f.bin = (f.dir / "objcopy.bin").string();
    std::mt19937 random(4242);
    std::vector<char> bytes(kImageSize);
    for (char& b : bytes) b = static_cast<char>(random());
    std::ofstream(image, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    f.ok = RunProgram({kObjcopy, "-I", "binary", "-O", "ihex",
                       std::string("--change-addresses=") + kImageAddress, image, f.hex});
    return f;
  }();
  return files;
}

void BM_ReadHexFile(benchmark::State& state) {
  const Files& files = BenchFiles();
  if (!files.ok) {
    state.SkipWithError("could not make the HEX file (objcopy missing?)");
    return;
  }
  for (auto _ : state) {
    quorvel::FirmwareImage image;
    if (quorvel::ReadHexFile(files.hex, image) != 0 || image.ImageSize() != kImageSize) {
      state.SkipWithError("ReadHexFile failed");
      return;
    }
    benchmark::DoNotOptimize(image.ImageData.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(std::filesystem::file_size(files.hex)));
}
BENCHMARK(BM_ReadHexFile)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ObjcopyHexToBinary(benchmark::State& state) {
  const Files& files = BenchFiles();
  if (!files.ok) {
    state.SkipWithError("could not make the HEX file (objcopy missing?)");
    return;
  }
  for (auto _ : state) {
    if (!RunProgram(
            {kObjcopy, "-I", "ihex", "-O", "binary", "--gap-fill", "0xff", files.hex, files.bin})) {
      state.SkipWithError("objcopy failed");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(std::filesystem::file_size(files.hex)));
}
BENCHMARK(BM_ObjcopyHexToBinary)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ignored;
  if (!BenchFiles().dir.empty()) std::filesystem::remove_all(BenchFiles().dir, ignored);
  return 0;
}
