// The worker of automatic profiles: reads and watches the rules file, takes the program in front
// and the running programs from their sources, and sends the actions the decision calls for.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "autoprofile/decision.h"
#include "devices/device_manager.h"
#include "platform/file_watch.h"
#include "platform/programs.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace autoprofile {

// Where the running programs come from: the OS (the default), or a simulated desktop.
struct ProgramSource {
  bool (*running)(void* context, std::vector<platform::ProgramInfo>* out) = nullptr;  // null: OS
  void* context = nullptr;
  bool watch_exits = true;  // watch the matched programs' ends through the OS
};

class Service final : public devices::DeviceObserver {
 public:
  Service();
  ~Service() override;  // stops
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Reads the rules file at rules_path (nothing is done while there is none), starts its watch
  // and the worker thread, and installs itself as the device manager's observer. Call before
  // the controllers are discovered.
  bool Start(std::u16string rules_path, ProgramSource source = {});
  // Removes the observer, stops the watches and joins the worker.
  void Stop();

  // Whether a source of the program in front exists (true unless told otherwise). Without one,
  // focus rules match nothing, which is said once when rules are read that hold one.
  void SetFocusAvailable(bool available);

  // The program in front changed. Any thread; it never waits for a driver.
  void OnForeground(const platform::ProgramInfo& front);
  // The running programs may have changed: scan them at once.
  void RescanRunning();

  // For tools: how often the rules file has been read (or found missing) so far. A file that
  // disappears is counted once it has stayed away for kRemovedAfterMs; one that comes back
  // sooner counts as changed, never as removed.
  uint64_t ReadCount();
  // Waits until the file has been read more than count times; false after timeout_ms.
  bool WaitReadMoreThan(uint64_t count, uint32_t timeout_ms);
  // Waits until everything handed to the worker is handled and no action is due; false after
  // timeout_ms.
  bool WaitQuiet(uint32_t timeout_ms);

  // devices::DeviceObserver
  void Attaching(const std::u16string& path, const platform::Guid& device_type,
                 const std::u16string& profile_root) override;
  void Attached(const std::u16string& path) override;
  void Detached(const std::u16string& path) override;
  void ClutchEngaging(const std::u16string& path) override;
  void ClutchChose(const std::u16string& path) override;
  void ClutchReleased(const std::u16string& path) override;

 private:
  static uint32_t WorkerMain(void* self);
  static void OnFileChanged(void* self);
  static void OnExit(void* self, uint32_t pid);
  void Run();
  void Work();
  void Post(bool reload, bool rescan);
  void Reload();
  void Scan();
  void SayNoFocus();
  // Takes the due actions (of only_path when given) and sends them. Each controller's action is
  // taken and sent holding that controller's own lock, so that its clutch, engaging meanwhile,
  // waits for the action to finish, and no other controller's clutch does.
  void Act(const std::u16string* only_path);
  void ActOn(const std::u16string& path);
  // The lock of an attached controller; null for one not attached.
  std::shared_ptr<std::mutex> ActLock(const std::u16string& path);
  uint32_t WaitTimeout();

  // Whether the worker must read the rules file again now: a file that went missing has stayed
  // away long enough, or a read refused because another program held the file is due again.
  bool RereadDue(uint64_t now);

  std::u16string rules_path_;
  ProgramSource source_;
  platform::Event stop_{platform::Event::Kind::kManualReset};
  platform::Event wake_{platform::Event::Kind::kAutoReset};
  platform::Thread worker_;
  std::unique_ptr<platform::FileWatch> file_watch_;
  std::unique_ptr<platform::ExitWatch> exit_watch_;
  bool started_ = false;

  std::mutex scan_lock_;  // held while the running programs are scanned
  std::mutex lock_;      // guards everything below
  // Per attached controller: held while its action is taken and sent.
  std::map<std::u16string, std::shared_ptr<std::mutex>> act_locks_;
  std::condition_variable changed_;
  Decider decider_;
  bool reload_ = false;
  bool rescan_ = false;
  uint64_t posted_ = 0;   // changes handed to the worker
  uint64_t handled_ = 0;  // of these, the ones the worker has finished
  uint64_t reads_ = 0;
  uint64_t next_scan_ = kNoDeadline;
  // Reading: whether the last read found a file (so that its disappearance waits to be sure),
  // since when it has been missing, and when a refused read is tried again.
  bool file_seen_ = false;
  uint64_t missing_since_ = kNoDeadline;
  uint64_t retry_at_ = kNoDeadline;
  int retries_ = 0;
  bool focus_available_ = true;
  bool said_no_focus_ = false;
};

}  // namespace autoprofile
