// Parse and serialize speed of the wire record, next to a plain copy of the same bytes in
// the same binary: the copy is the reference the ratios in BENCHMARKS.md are taken against.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "message.h"
#include "message_stream.h"

namespace {

std::string bigMessage() {
  message m(-1, "server", "RECEIVE_FILE", msgData);
  std::string data(1 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + 17);
  m.setValue("file_name", "big.bin");
  m.setValue("file_data", std::move(data));
  return m.serialize();
}

std::string chatLine() {
  message m(-1, "alice", "hello everyone, how is the war going?", msgChat);
  m.setValue("_msgTime", "Mon, 05 Jan 2009 07:03:09 UTC");
  m.setValue("_msgVersion", "0.70");
  return m.serialize();
}

void copyReference(benchmark::State& state, const std::string& bytes) {
  std::vector<char> target(bytes.size());
  for (auto _ : state) {
    std::memcpy(target.data(), bytes.data(), bytes.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void parseOnce(benchmark::State& state, const std::string& bytes) {
  message m;
  for (auto _ : state) {
    benchmark::DoNotOptimize(m.parse(bytes));
    benchmark::DoNotOptimize(m.values.size());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
  state.SetItemsProcessed(state.iterations());
}

// The receive path: the stream fed in 64 KiB reads, as the client gets them.
void parseStreamed(benchmark::State& state, const std::string& bytes) {
  MessageStream stream;
  message m;
  for (auto _ : state) {
    for (std::size_t at = 0; at < bytes.size(); at += 65536) {
      const std::string_view read = std::string_view(bytes).substr(at, 65536);
      std::size_t used = 0;
      while (used < read.size()) used += stream.next(read.substr(used), m).used;
    }
    benchmark::DoNotOptimize(m.values.size());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
  state.SetItemsProcessed(state.iterations());
}

void serializeOnce(benchmark::State& state, const std::string& bytes) {
  message m;
  m.parse(bytes);
  for (auto _ : state) benchmark::DoNotOptimize(m.serialize());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
  state.SetItemsProcessed(state.iterations());
}

const std::string kBig = bigMessage();
const std::string kChat = chatLine();

BENCHMARK_CAPTURE(copyReference, big_1MiB, kBig);
BENCHMARK_CAPTURE(parseOnce, big_1MiB, kBig);
BENCHMARK_CAPTURE(parseStreamed, big_1MiB, kBig);
BENCHMARK_CAPTURE(serializeOnce, big_1MiB, kBig);
BENCHMARK_CAPTURE(copyReference, chat_line, kChat);
BENCHMARK_CAPTURE(parseOnce, chat_line, kChat);
BENCHMARK_CAPTURE(parseStreamed, chat_line, kChat);
BENCHMARK_CAPTURE(serializeOnce, chat_line, kChat);

}  // namespace

BENCHMARK_MAIN();
