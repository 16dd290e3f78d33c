// Clutch event latency over the socket transport: from the simulated driver completing
// IOCTL_WAIT_CLUTCH_EVENT to its receiving the resulting IOCTL_SET_CLUTCH_TEXT, with the service
// core's device manager attached to the controller through a socket, as the real process is.
#ifndef _WIN32

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "devices/device_manager.h"
#include "display/profile_summary.h"
#include "document/node_reader.h"
#include "driver/control_codes.h"
#include "platform/posix/device_watch.h"
#include "platform/text.h"
#include "profile/profile_nodes.h"
#include "sim/in_process.h"
#include "sim/model.h"
#include "sim/socket_server.h"

namespace {

namespace fs = std::filesystem;
constexpr char kName[] = "BENCH";

fs::path DataFolder() { return fs::path(__FILE__).parent_path().parent_path().parent_path() / "data"; }

// A profile of about target_bytes as stored (UTF-16LE): the default profile with generated
// action commands added to its command list, as a large hand-made profile has.
void WriteLargeProfile(const fs::path& target, size_t target_bytes) {
  std::ifstream in(DataFolder() / "source" / "profiles" / "Default.pr0.txt", std::ios::binary);
  std::stringstream read;
  read << in.rdbuf();
  std::string text = read.str();
  const std::string marker = "[commands\n";
  const size_t at = text.find(marker);
  if (at == std::string::npos) return;
  std::string commands;
  for (unsigned n = 0; (text.size() + commands.size()) * 2 < target_bytes; ++n) {
    char guid[40];
    std::snprintf(guid, sizeof guid, "{%08X-1D2C-4B3A-9F8E-%012X}", n, n * 7919u);
    commands += "    [actioncommand=" + std::string(guid) + " name='Generated Command " +
                std::to_string(n) + "'\n" +
                "      [actionblock=regular type=press\n"
                "        [action device=keyboard usage=0x04 page=0x07 value=1]\n"
                "      ]\n"
                "      [actionblock=regular type=release\n"
                "        [action device=keyboard usage=0x04 page=0x07 value=0]\n"
                "      ]\n"
                "    ]\n";
  }
  text.insert(at + marker.size(), commands);
  const std::u16string wide = platform::FromUtf8(text);
  std::ofstream out(target, std::ios::binary);
  out.write("\xff\xfe", 2);
  for (char16_t unit : wide) {
    const char bytes[2] = {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    out.write(bytes, 2);
  }
}

// A root with the sample profile tree (and, when active_profile is not empty, that profile
// active) and one controller published on a socket and attached.
class Rig {
 public:
  explicit Rig(const std::string& active_profile) {
    char pattern[] = "/tmp/skyhelm-bench-XXXXXX";
    work_ = mkdtemp(pattern);
    const fs::path root = work_ / "root";
    fs::create_directories(root / "documents" / "Corvane");
    fs::create_directories(root / "windows");
    fs::create_directories(root / "registry");
    fs::copy(DataFolder() / "profiles", root / "documents" / "Corvane", fs::copy_options::recursive);
    WriteLargeProfile(root / "documents" / "Corvane" / "Large.pr0", 1000 * 1000);
    setenv("SKYHELM_ROOT", root.c_str(), 1);
    model_.Declare(kName);
    model_.Attach(kName);
    if (!active_profile.empty()) {
      model_.LoadAndActivate(kName, platform::FromUtf8((root / "documents" / "Corvane" / active_profile).string()), false);
    }
    const std::u16string interface_path = sim::DriverModel::InterfacePath(kName);
    server_ = std::make_unique<sim::SocketServer>((work_ / "devices").string(), &transport_);
    server_->Publish(platform::ToUtf8(interface_path.substr(4)), interface_path);
    devices::AttachDevice(nullptr, platform::FromUtf8((work_ / "devices").string() + "/" +
                                                      platform::ToUtf8(interface_path.substr(4))));
    model_.WaitForOutstanding(kName, IOCTL_WAIT_CLUTCH_EVENT, 5000);
    Clutch(1, 0);  // engaged: navigation events now show entries
  }
  ~Rig() {
    Clutch(0, 0);
    for (const devices::AttachedDevice& device : devices::AttachedDevices()) {
      devices::DetachDevice(devices::NotificationKey(device.device));
    }
    server_.reset();
    fs::remove_all(work_);
  }

  // Raises one event and waits until the service waits again.
  void Clutch(uint16_t engaged, uint16_t type) {
    model_.WaitForOutstanding(kName, IOCTL_WAIT_CLUTCH_EVENT, 5000);
    const uint64_t issued = model_.IssuedCount(kName, IOCTL_WAIT_CLUTCH_EVENT);
    model_.RaiseClutchEvent(kName, engaged, type);
    model_.WaitForIssued(kName, IOCTL_WAIT_CLUTCH_EVENT, issued + 1, 5000);
  }

  // Microseconds from completing a "next" event to the clutch text it produces.
  double NextLatencyUs() {
    model_.WaitForOutstanding(kName, IOCTL_WAIT_CLUTCH_EVENT, 5000);
    const uint64_t texts = model_.IssuedCount(kName, IOCTL_SET_CLUTCH_TEXT);
    const uint64_t waits = model_.IssuedCount(kName, IOCTL_WAIT_CLUTCH_EVENT);
    const auto start = std::chrono::steady_clock::now();
    model_.RaiseClutchEvent(kName, 1, 5);
    model_.WaitForIssued(kName, IOCTL_SET_CLUTCH_TEXT, texts + 1, 5000);
    const auto end = std::chrono::steady_clock::now();
    model_.WaitForIssued(kName, IOCTL_WAIT_CLUTCH_EVENT, waits + 1, 5000);
    Clutch(1, 0);  // back to rest, so that the next "next" acts
    model_.ClearTrace();
    return std::chrono::duration<double, std::micro>(end - start).count();
  }

 private:
  fs::path work_;
  sim::DriverModel model_;
  sim::InProcessTransport transport_{model_};
  std::unique_ptr<sim::SocketServer> server_;
};

// Bytes the heap holds for the loaded tree of a generated profile (node objects, their texts and
// child lists, with the allocator's own overhead), measured while the tree is alive. The loader
// keeps the blocks of freed trees for the next document, so this must be the first document the
// process reads: it is registered before every other benchmark here and runs once.
size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

void ProfileTreeMemory(benchmark::State& state, size_t bytes) {
  char pattern[] = "/tmp/skyhelm-bench-XXXXXX";
  const fs::path work = mkdtemp(pattern);
  const fs::path file = work / "profile.pr0";
  WriteLargeProfile(file, bytes);
  const std::u16string path = platform::FromUtf8(file.string());
  size_t tree_bytes = 0;
  for (auto _ : state) {
    std::unique_ptr<VexNode::CNode> root;
    const size_t before = HeapInUse();
    if (VexNode::LoadDocument(path, VexNode::profile::RegisterProfileNodes, &root) != VexNode::LoadStatus::kLoaded) {
      state.SkipWithError("profile not read");
      break;
    }
    tree_bytes = HeapInUse() - before;
  }
  const auto file_bytes = static_cast<double>(fs::file_size(file));
  state.counters["tree_bytes"] = static_cast<double>(tree_bytes);
  state.counters["file_bytes"] = file_bytes;
  state.counters["tree_per_file"] = static_cast<double>(tree_bytes) / file_bytes;
  fs::remove_all(work);
}

BENCHMARK_CAPTURE(ProfileTreeMemory, one_megabyte_profile, size_t{1000 * 1000})
    ->Iterations(1)->Unit(benchmark::kMicrosecond);

void ClutchEventLatency(benchmark::State& state, const std::string& active_profile) {
  Rig rig(active_profile);
  std::vector<double> samples;
  for (auto _ : state) {
    const double us = rig.NextLatencyUs();
    samples.push_back(us);
    state.SetIterationTime(us / 1e6);
  }
  std::sort(samples.begin(), samples.end());
  state.counters["p50_us"] = samples[samples.size() / 2];
  state.counters["p99_us"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
  state.counters["max_us"] = samples.back();
}

BENCHMARK_CAPTURE(ClutchEventLatency, no_active_profile, std::string())
    ->UseManualTime()->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ClutchEventLatency, small_profile_active, std::string("Default.pr0"))
    ->UseManualTime()->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ClutchEventLatency, one_megabyte_profile_active, std::string("Large.pr0"))
    ->UseManualTime()->Iterations(1000)->Unit(benchmark::kMicrosecond);

// The part of each event that grows with the active profile: reading it for the summary.
void ProfileSummaryRead(benchmark::State& state, size_t bytes) {
  char pattern[] = "/tmp/skyhelm-bench-XXXXXX";
  const fs::path work = mkdtemp(pattern);
  const fs::path file = work / "profile.pr0";
  if (bytes == 0) {
    fs::copy(DataFolder() / "profiles" / "Default.pr0", file);
  } else {
    WriteLargeProfile(file, bytes);
  }
  const std::u16string path = platform::FromUtf8(file.string());
  const ShiftButtonSet no_buttons;
  const DeviceIdQuery ids = [](platform::Guid*, platform::Guid*) {};
  ProfileSummary summary;
  for (auto _ : state) {
    if (ReadProfileSummary(path, no_buttons, ids, &summary) != SummaryOutcome::kRead) {
      state.SkipWithError("profile not read");
      break;
    }
  }
  state.counters["commands"] = static_cast<double>(summary.command_names.size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fs::file_size(file)));
  fs::remove_all(work);
}

BENCHMARK_CAPTURE(ProfileSummaryRead, small_profile, size_t{0})->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ProfileSummaryRead, one_megabyte_profile, size_t{1000 * 1000})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

#endif  // _WIN32
