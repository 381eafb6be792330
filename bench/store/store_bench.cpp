// File-store costs beside their bare baselines, on one file system in one
// run: a sealed 1 KiB record write against create+write+fsync+rename+
// directory fsync of the same sealed bytes; a warm load against a plain
// open/read/close; list_keys of 1,000 records; the key check of an
// existing store; ChaCha20-Poly1305 of 1 KiB.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "crypto/aead.h"
#include "store/record_files.h"
#include "store/store_pair.h"

namespace {

using namespace brenvik;
using namespace brenvik::store;

const Bytes kKey(32, 0x5a);

struct BenchDir {
  std::string path;
  BenchDir() {
    std::string t =
        (std::filesystem::temp_directory_path() / "brenvik-store-bench-XXXXXX").string();
    path = ::mkdtemp(t.data());
  }
  ~BenchDir() { std::filesystem::remove_all(path); }
};

FileStorePair open_pair(const BenchDir& d) {
  auto p = open_file_store_pair(real_fs(), d.path + "/mls", d.path + "/state", "app", "user", kKey);
  if (!p.ok()) std::abort();
  return std::move(p).value();
}

void BM_SealedRecordWrite1KiB(benchmark::State& state) {
  BenchDir d;
  auto pair = open_pair(d);
  Bytes value(1024, 7);
  for (auto _ : state)
    if (!pair.mls->store("bench", "k", value).ok()) state.SkipWithError("store failed");
}
BENCHMARK(BM_SealedRecordWrite1KiB)->Unit(benchmark::kMicrosecond);

void BM_BareWriteOfSealedBytes1KiB(benchmark::State& state) {
  BenchDir d;
  Bytes sealed =
      seal_mls_record(kKey, "e_x", frame_record("bench", "k", Bytes(1024, 7)).value()).value();
  const std::string tmp = d.path + "/.write-tmp", fin = d.path + "/final";
  for (auto _ : state) {
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (::write(fd, sealed.data(), sealed.size()) != ssize_t(sealed.size()))
      state.SkipWithError("write");
    ::fsync(fd);
    ::close(fd);
    ::rename(tmp.c_str(), fin.c_str());
    int dfd = ::open(d.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::fsync(dfd);
    ::close(dfd);
  }
}
BENCHMARK(BM_BareWriteOfSealedBytes1KiB)->Unit(benchmark::kMicrosecond);

void BM_SealedRecordWarmLoad1KiB(benchmark::State& state) {
  BenchDir d;
  auto pair = open_pair(d);
  if (!pair.mls->store("bench", "k", Bytes(1024, 7)).ok()) std::abort();
  for (auto _ : state) benchmark::DoNotOptimize(pair.mls->load("bench", "k"));
}
BENCHMARK(BM_SealedRecordWarmLoad1KiB)->Unit(benchmark::kMicrosecond);

void BM_BareReadOfCachedFile1KiB(benchmark::State& state) {
  BenchDir d;
  const std::string p = d.path + "/f";
  if (!write_record_file(real_fs(), d.path, p, Bytes(1056, 7)).ok()) std::abort();
  uint8_t buf[2048];
  for (auto _ : state) {
    int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    benchmark::DoNotOptimize(::read(fd, buf, sizeof buf));
    ::close(fd);
  }
}
BENCHMARK(BM_BareReadOfCachedFile1KiB)->Unit(benchmark::kMicrosecond);

void BM_ListKeys1000(benchmark::State& state) {
  BenchDir d;
  auto pair = open_pair(d);
  for (int i = 0; i < 1000; ++i)
    if (!pair.mls->store("bench", "key-" + std::to_string(i), Bytes(64, 1)).ok()) std::abort();
  for (auto _ : state) benchmark::DoNotOptimize(pair.mls->list_keys("bench"));
}
BENCHMARK(BM_ListKeys1000)->Unit(benchmark::kMillisecond);

void BM_OpenExistingPair(benchmark::State& state) {
  BenchDir d;
  {
    auto pair = open_pair(d);
    if (!pair.mls->store("bench", "k", Bytes(64, 1)).ok()) std::abort();
    close_file_store_pair(pair);
  }
  for (auto _ : state) {
    auto pair = open_pair(d);
    close_file_store_pair(pair);
  }
}
BENCHMARK(BM_OpenExistingPair)->Unit(benchmark::kMicrosecond);

void BM_KeyCheckOfExistingStore(benchmark::State& state) {
  BenchDir d;
  std::shared_ptr<SealedFileMlsStore> mls;
  {
    auto pair = open_pair(d);
    mls = pair.mls;
    pair.state->handle().close();
  }
  for (auto _ : state)
    if (!mls->open().ok()) state.SkipWithError("key check failed");
}
BENCHMARK(BM_KeyCheckOfExistingStore)->Unit(benchmark::kMicrosecond);

void BM_ChaCha20Poly1305SealOpen1KiB(benchmark::State& state) {
  Bytes pt(1024, 3), nonce(12, 1), out(1024 + 16), back(1024);
  for (auto _ : state) {
    (void)crypto::aead_seal(crypto::AeadAlgorithm::ChaCha20Poly1305, kKey, nonce, {}, pt, out);
    (void)crypto::aead_open(crypto::AeadAlgorithm::ChaCha20Poly1305, kKey, nonce, {}, out, back);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * 1024);
}
BENCHMARK(BM_ChaCha20Poly1305SealOpen1KiB);

}  // namespace
