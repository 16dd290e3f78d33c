// Worker thread base: Start, Stop and the one-request driver wait.
#include "session/worker_thread.h"

CThread::CThread() = default;

CThread::~CThread() { Stop(); }

bool CThread::Start() {
  if (thread_.Running()) return true;
  return thread_.Start(&CThread::Routine, this);
}

void CThread::Stop() {
  if (!thread_.Running()) return;
  stop_event_.Set();
  thread_.Join();
  // A thread that ended on its own (failed request) never consumed the signal; drop it so that
  // a later Start does not end at once.
  stop_event_.Reset();
}

uint32_t CThread::Routine(void* self) {
  static_cast<CThread*>(self)->Run();
  return 0;
}

DriverWait WaitForDriver(platform::DeviceHandle handle, uint32_t code, void* output,
                         uint32_t output_size, platform::Event& stop) {
  platform::Event completion(platform::Event::Kind::kManualReset);
  if (!completion.Valid()) return DriverWait::kFailed;
  platform::Overlapped overlapped(completion);
  // A request refused at once never sets its event: waiting for it would only end with Stop.
  if (!platform::IssueControl(handle, code, nullptr, 0, output, output_size, overlapped)) {
    return DriverWait::kFailed;
  }
  const int signalled = platform::WaitAny({&completion, &stop});
  if (signalled == 0) {
    uint32_t returned = 0;
    return platform::GetOverlappedResult(handle, overlapped, &returned, false)
               ? DriverWait::kCompleted
               : DriverWait::kFailed;
  }
  // The overlapped record and the output must outlive the request: end it before they go.
  platform::CancelAndDrain(handle, overlapped);
  return signalled == 1 ? DriverWait::kStopped : DriverWait::kFailed;
}
