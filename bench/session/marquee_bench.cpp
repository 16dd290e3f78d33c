// How closely the marquee keeps its step time: a text longer than its display string scrolls
// against the in-process simulated driver, and the steps are timed by the driver's record of
// each display request. Counters: the average and the longest step, and how much the average
// exceeds the marquee time (the tests only check that no step is shorter than it).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "driver/control_codes.h"
#include "driver/driver_channel.h"
#include "session/string_slot.h"
#include "sim/in_process.h"
#include "sim/model.h"

namespace {

constexpr char kName[] = "MARQUEE";
constexpr uint64_t kSteps = 40;
constexpr uint32_t kDeadlineMs = 10000;

// The send times of the display requests in the trace, oldest first.
std::vector<std::chrono::steady_clock::time_point> StringTimes(const sim::DriverModel& model) {
  const std::vector<std::string> trace = model.Trace();
  const auto times = model.TraceTimes();
  std::vector<std::chrono::steady_clock::time_point> sent;
  for (size_t i = 0; i < trace.size() && i < times.size(); ++i) {
    if (trace[i].find("\"code\":\"IOCTL_SET_STRING\"") != std::string::npos) {
      sent.push_back(times[i]);
    }
  }
  return sent;
}

void BM_MarqueeStep(benchmark::State& state) {
  const auto period = static_cast<uint32_t>(state.range(0));
  const std::u16string text = u"a text of thirty units to scroll";
  double average_ms = 0, longest_ms = 0;
  for (auto _ : state) {
    sim::DriverModel model;
    sim::InProcessTransport transport(model);
    model.Declare(kName);
    model.Attach(kName);
    DriverChannel channel;
    if (!channel.Open(sim::DriverModel::InterfacePath(kName), false)) {
      state.SkipWithError("the simulated controller did not open");
      return;
    }
    StringSlot slot;
    StartMarquee(slot, &channel, text.c_str(), static_cast<uint32_t>(text.size()), 16, period,
                 0x0101, 0x0100);
    const bool ran = model.WaitForIssued(kName, IOCTL_SET_STRING, kSteps + 1,
                                         static_cast<uint32_t>(kSteps * period) + kDeadlineMs);
    slot.StopMarquee();
    channel.Close();
    const auto sent = StringTimes(model);
    if (!ran || sent.size() < kSteps + 1) {
      state.SkipWithError("the marquee did not take its steps");
      return;
    }
    const std::chrono::duration<double, std::milli> span = sent[kSteps] - sent[0];
    average_ms = span.count() / kSteps;
    for (uint64_t step = 1; step <= kSteps; ++step) {
      const std::chrono::duration<double, std::milli> gap = sent[step] - sent[step - 1];
      longest_ms = std::max(longest_ms, gap.count());
    }
    state.SetIterationTime(span.count() / 1000);
  }
  state.counters["step_ms"] = average_ms;
  state.counters["longest_step_ms"] = longest_ms;
  state.counters["late_ms"] = average_ms - period;
}

// The marquee times of the shipped output descriptions, and the shortest step (10 ms).
BENCHMARK(BM_MarqueeStep)
    ->Arg(10)
    ->Arg(150)
    ->Arg(250)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
