// Programs on Linux: not yet supported; every call reports failure.
#include "platform/programs.h"

namespace platform {

struct ForegroundWatch::State {};
struct ExitWatch::State {};

ForegroundWatch::ForegroundWatch(ForegroundSink sink, void* context)
    : sink_(sink), context_(context) {}
ForegroundWatch::~ForegroundWatch() { Stop(); }
bool ForegroundWatch::Start() { return false; }
int ForegroundWatch::PollFd() const { return -1; }
bool ForegroundWatch::Dispatch() { return true; }
void ForegroundWatch::Stop() { state_.reset(); }

bool RunningPrograms(std::vector<ProgramInfo>* out) {
  out->clear();
  return false;
}

ExitWatch::ExitWatch(ExitSink sink, void* context) : sink_(sink), context_(context) {}
ExitWatch::~ExitWatch() { Stop(); }
bool ExitWatch::Watch(uint32_t /*pid*/) { return false; }
void ExitWatch::Stop() { state_.reset(); }

}  // namespace platform
