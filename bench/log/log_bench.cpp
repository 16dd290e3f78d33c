// Cost of a log call: filtered out by the sink (the common case) and formatted in full.
#include <benchmark/benchmark.h>

#include "log/log.h"

namespace {

void CountingReceiver(void* context, uint8_t, uint64_t, const char16_t*) {
  ++*static_cast<int64_t*>(context);
}

void BM_LogMessageNoSink(benchmark::State& state) {
  g_log_sink = LogSink{};
  for (auto _ : state) {
    LogMessage(kLogEvent, kLogCategory, u"Clutch State Changed %d %d", 1, 3);
  }
}
BENCHMARK(BM_LogMessageNoSink);

void BM_LogMessageFiltered(benchmark::State& state) {
  int64_t lines = 0;
  g_log_sink = LogSink{1, &lines, CountingReceiver, 3, 2};
  for (auto _ : state) {
    LogMessage(kLogLifecycle, kLogCategory, u"Device Created");
  }
  g_log_sink = LogSink{};
  if (lines != 0) state.SkipWithError("a filtered line reached the receiver");
}
BENCHMARK(BM_LogMessageFiltered);

void BM_LogMessageFormatted(benchmark::State& state) {
  int64_t lines = 0;
  g_log_sink = LogSink{1, &lines, CountingReceiver, 4, 2};
  for (auto _ : state) {
    LogMessage(kLogEvent, kLogCategory,
               u"Command State Changed %08X %d %d {%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
               0x2Au, 1, 0, 0x4A7D2E91u, 0x3B6Cu, 0x4F80u, 0xA1, 0xD5, 0x9E, 0x8C, 0x7B, 0x6A, 0x5F,
               0x40);
  }
  g_log_sink = LogSink{};
  state.counters["lines"] = static_cast<double>(lines);
}
BENCHMARK(BM_LogMessageFormatted);

}  // namespace
