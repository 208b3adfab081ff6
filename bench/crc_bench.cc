// Throughput of the CRC-32 of files and buffers.
//
// GetFileCrc runs over the file named by FR_CRC_BENCH_FILE, or else over a 1 GiB file of random
// bytes that the benchmark makes under $TMPDIR (or /tmp) and removes at exit. The file is read
// once before timing so that the figures are those of a page-cached file.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "integrity/crc32.h"

namespace {

constexpr std::uint64_t kGeneratedFileSize = std::uint64_t{1} << 30;

std::vector<unsigned char> RandomBytes(std::size_t size) {
  std::vector<unsigned char> bytes(size);
  std::mt19937_64 generator(42);
  for (std::size_t i = 0; i + 8 <= size; i += 8) {
    std::uint64_t word = generator();
    for (int b = 0; b < 8; ++b) bytes[i + b] = static_cast<unsigned char>(word >> (8 * b));
  }
  return bytes;
}

class BenchFile {
 public:
  BenchFile() {
    if (const char* given = std::getenv("FR_CRC_BENCH_FILE"); given != nullptr && *given != '\0') {
      path_ = given;
    } else {
      Generate();
    }
    std::FILE* file = std::fopen(path_.c_str(), "rb");
    if (file == nullptr) throw std::runtime_error("cannot open " + path_);
    std::fseek(file, 0, SEEK_END);
    size_ = static_cast<std::uint64_t>(std::ftell(file));
    std::fclose(file);
    benchmark::DoNotOptimize(GetFileCrc(path_.c_str()));  // into the page cache
  }
  ~BenchFile() {
    if (generated_) std::remove(path_.c_str());
  }
  const std::string& path() const { return path_; }
  std::uint64_t size() const { return size_; }

 private:
  void Generate() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/fr-crc-bench-XXXXXX";
    int fd = mkstemp(pattern.data());
    if (fd < 0) throw std::runtime_error("cannot make " + pattern);
    path_ = pattern;
    generated_ = true;
    std::vector<unsigned char> block = RandomBytes(std::size_t{16} << 20);
    for (std::uint64_t done = 0; done < kGeneratedFileSize; done += block.size()) {
      if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
        close(fd);
        throw std::runtime_error("cannot write " + path_);
      }
      block[done / block.size()] ^= 0x5A;  // blocks differ from one another
    }
    close(fd);
  }

  std::string path_;
  std::uint64_t size_ = 0;
  bool generated_ = false;
};

void BM_GetFileCrc(benchmark::State& state) {
  static BenchFile file;
  for (auto _ : state) benchmark::DoNotOptimize(GetFileCrc(file.path().c_str()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.size()));
}
BENCHMARK(BM_GetFileCrc)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CalculateBufferCrc32(benchmark::State& state) {
  std::vector<unsigned char> data = RandomBytes(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(CalculateBufferCrc32(data.data(), static_cast<DWORD>(data.size())));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_CalculateBufferCrc32)->Arg(16)->Arg(4 << 10)->Arg(1 << 20)->Arg(64 << 20);

// The byte-at-a-time table loop, for comparison with the bulk path.
void BM_TableLoop(benchmark::State& state) {
  std::vector<unsigned char> data = RandomBytes(std::size_t{1} << 20);
  for (auto _ : state) {
    DWORD reg = 0xFFFFFFFF;
    for (unsigned char byte : data) reg = kCrc32Table[(reg ^ byte) & 0xFF] ^ (reg >> 8);
    benchmark::DoNotOptimize(reg ^ 0xFFFFFFFF);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_TableLoop);

}  // namespace

BENCHMARK_MAIN();
