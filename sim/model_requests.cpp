// The simulated driver's transport side: connections, submission, cancellation, delivery with
// delays, and the trace records of requests and handles.
#include <algorithm>
#include <chrono>
#include <thread>

#include "driver/control_codes.h"
#include "platform/text.h"
#include "sim/model_internal.h"

namespace sim {
namespace {

uint64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::u16string WithForwardSlashes(std::u16string_view path) {
  std::u16string out(path);
  for (char16_t& unit : out) {
    if (unit == u'\\') unit = u'/';
  }
  return out;
}

}  // namespace

// ---- Connections and requests

ConnectionId DriverModel::Connect(std::u16string_view path, uint32_t* error) {
  uint32_t delay_ms = 0;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    std::string ignored;
    Controller* c = FindForPath(path, &ignored);
    if (c != nullptr && c->delayed_opens > 0) {
      --c->delayed_opens;
      delay_ms = c->open_delay_ms;
    }
  }
  if (delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
  std::lock_guard<std::mutex> hold(mutex_);
  std::string name;
  Controller* c = FindForPath(path, &name);
  if (c == nullptr || !c->state.present) {
    *error = kErrorFileNotFound;
  } else if (c->fail_opens > 0) {
    --c->fail_opens;
    *error = kInjectedFailure;
  } else {
    ConnectionId id = next_connection_++;
    auto connection = std::make_unique<Connection>();
    connection->controller = c;
    connection->epoch = c->epoch;
    connection->path = std::u16string(path);
    connections_.emplace(id, std::move(connection));
    RecordHandle(c->name, "open", 0, path);
    return id;
  }
  RecordHandle(c != nullptr ? c->name : name, "open", *error, path);
  return 0;
}

void DriverModel::Disconnect(ConnectionId id) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  Controller& c = *it->second->controller;
  RecordHandle(c.name, "close", 0, it->second->path);
  // Answers already given are delivered now: no completion may run after this call.
  for (auto d = delayed_.begin(); d != delayed_.end();) {
    if (d->second->connection != id) {
      ++d;
      continue;
    }
    d->second->done(d->second->status, d->second->output);
    d = delayed_.erase(d);
  }
  std::vector<Pending> cancelled;
  for (size_t i = 0; i < c.outstanding.size();) {
    if (c.outstanding[i].connection == id) {
      cancelled.push_back(std::move(c.outstanding[i]));
      c.outstanding.erase(c.outstanding.begin() + static_cast<ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
  for (Pending& pending : cancelled) {
    Finish(c, pending, kErrorOperationAborted, {}, true);
  }
  connections_.erase(it);
  NotifyAll();
}

bool DriverModel::Submit(ConnectionId id, RequestId request, uint32_t code, const uint8_t* input,
                         uint32_t input_size, uint32_t output_capacity, Completion done,
                         uint32_t* error) {
  std::unique_lock<std::mutex> hold(mutex_);
  auto it = connections_.find(id);
  if (it == connections_.end()) {
    *error = kErrorInvalidHandle;
    return false;
  }
  Controller& c = *it->second->controller;
  const auto deferred = c.defer_until.find(code);
  if (deferred != c.defer_until.end()) {
    const uint32_t wait_code = deferred->second;
    c.defer_until.erase(deferred);
    WaitForChange(hold, wait_code, c.defer_timeout_ms, [&] {
      return std::any_of(c.outstanding.begin(), c.outstanding.end(),
                         [wait_code](const Pending& p) { return p.code == wait_code; });
    });
    it = connections_.find(id);
    if (it == connections_.end()) {
      *error = kErrorInvalidHandle;
      return false;
    }
  }
  std::vector<uint8_t> in(input, input + (input != nullptr ? input_size : 0));
  ++c.issued[code];
  NotifyChange(code);
  Reply reply;
  DescribeInput(code, in.data(), static_cast<uint32_t>(in.size()), &reply.fields);
  bool waits = code == kReadRequest || IsWaitCode(code);
  if (!c.state.present || it->second->epoch != c.epoch) {
    reply.status = kErrorDeviceNotConnected;
  } else if (c.fail_next[code] > 0) {
    --c.fail_next[code];
    reply.status = kInjectedFailure;
  } else {
    Respond(c, code, in.data(), static_cast<uint32_t>(in.size()), output_capacity, &reply);
  }
  if (reply.status != 0) {
    RecordRequest(c.name, code, reply.status, waits ? "completed" : nullptr, reply.fields, in);
    *error = reply.status;
    return false;
  }
  if (reply.hold) {
    RecordRequest(c.name, code, 0, "pending", reply.fields, in);
    c.outstanding.push_back({id, request, code, output_capacity, std::move(in), std::move(done)});
    NotifyChange(code);
    return true;
  }
  RecordRequest(c.name, code, 0, nullptr, reply.fields, in);
  Deliver(c, id, std::move(done), 0, std::move(reply.output));
  if (reply.profile_changed) CompleteWaits(c, IOCTL_WAIT_PROFILE_CHANGE, {});
  return true;
}

void DriverModel::Cancel(ConnectionId id, RequestId request) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  Controller& c = *it->second->controller;
  for (size_t i = 0; i < c.outstanding.size(); ++i) {
    if (c.outstanding[i].connection == id && c.outstanding[i].request == request) {
      if (c.ignored_cancels > 0) {
        --c.ignored_cancels;
        return;
      }
      Pending pending = std::move(c.outstanding[i]);
      c.outstanding.erase(c.outstanding.begin() + static_cast<ptrdiff_t>(i));
      const uint32_t code = pending.code;
      Finish(c, pending, kErrorOperationAborted, {}, true);
      NotifyChange(code);
      return;
    }
  }
}

bool DriverModel::InputReportLength(ConnectionId id, uint16_t* length) const {
  std::lock_guard<std::mutex> hold(mutex_);
  auto it = connections_.find(id);
  if (it == connections_.end()) return false;
  *length = it->second->controller->state.config.input_report_length;
  return *length > 0;
}

void DriverModel::Finish(Controller& c, Pending& pending, uint32_t status,
                         std::vector<uint8_t> output, bool cancelled) {
  if (output.size() > pending.capacity) output.resize(pending.capacity);
  JsonLine fields;
  if (status == 0) DescribeWaitAnswer(pending.code, output, &fields);
  RecordRequest(c.name, pending.code, status, cancelled ? "cancelled" : "completed", fields,
                pending.input);
  if (cancelled) {
    // A cancel ends the request at once, whatever delay answers are given.
    pending.done(status, output);
  } else {
    Deliver(c, pending.connection, std::move(pending.done), status, std::move(output));
  }
}

void DriverModel::Deliver(const Controller& c, ConnectionId connection, Completion done,
                          uint32_t status, std::vector<uint8_t> output) {
  if (c.delay_ms == 0) {
    done(status, output);
    return;
  }
  auto delivery = std::make_unique<Delivery>();
  delivery->connection = connection;
  delivery->done = std::move(done);
  delivery->status = status;
  delivery->output = std::move(output);
  delayed_.emplace(NowMs() + c.delay_ms, std::move(delivery));
  delay_wake_.notify_all();
}

void DriverModel::DelayLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (delayed_.empty()) {
      delay_wake_.wait(lock);
      continue;
    }
    uint64_t due = delayed_.begin()->first;
    if (NowMs() < due) {
      delay_wake_.wait_for(lock, std::chrono::milliseconds(due - NowMs()));
      continue;
    }
    std::unique_ptr<Delivery> delivery = std::move(delayed_.begin()->second);
    delayed_.erase(delayed_.begin());
    delivery->done(delivery->status, delivery->output);
    NotifyAll();
  }
}

// ---- Trace

void DriverModel::RecordRequest(const std::string& dev, uint32_t code, uint32_t status,
                                const char* state, const JsonLine& fields,
                                const std::vector<uint8_t>& input) {
  JsonLine line;
  line.Number("seq", static_cast<int64_t>(next_seq_++)).Text("dev", platform::FromUtf8(dev));
  line.Ascii("code", TraceCodeName(code)).Bool("ok", status == 0);
  if (status != 0) line.Number("error", status);
  if (state != nullptr) line.Ascii("state", state);
  line.Append(fields).Hex("in", input.data(), input.size());
  trace_.push_back(line.Finish());
  trace_times_.push_back(std::chrono::steady_clock::now());
}

void DriverModel::RecordHandle(const std::string& dev, const char* what, uint32_t status,
                               std::u16string_view path) {
  JsonLine line;
  line.Number("seq", static_cast<int64_t>(next_seq_++)).Text("dev", platform::FromUtf8(dev));
  line.Ascii("code", what).Bool("ok", status == 0);
  if (status != 0) line.Number("error", status);
  line.Text("path", TracePath(path));
  trace_.push_back(line.Finish());
  trace_times_.push_back(std::chrono::steady_clock::now());
}

namespace {

// Whether path is folder or lies below it; ASCII letters match without regard to case, as the
// folders of a Windows run are spelled by whoever reports them.
bool StartsWithFolder(std::u16string_view path, std::u16string_view folder) {
  if (folder.empty() || path.size() < folder.size()) return false;
  for (size_t i = 0; i < folder.size(); ++i) {
    char16_t a = path[i], b = folder[i];
    if (a >= u'A' && a <= u'Z') a = static_cast<char16_t>(a - u'A' + u'a');
    if (b >= u'A' && b <= u'Z') b = static_cast<char16_t>(b - u'A' + u'a');
    if (a != b) return false;
  }
  // Not a sibling folder that merely starts with the same name.
  return path.size() == folder.size() || path[folder.size()] == u'/';
}

std::u16string TrimmedFolder(std::u16string_view folder) {
  std::u16string slashed = WithForwardSlashes(folder);
  while (slashed.size() > 1 && slashed.back() == u'/') slashed.pop_back();
  return slashed;
}

}  // namespace

std::u16string DriverModel::TracePath(std::u16string_view path) const {
  const std::u16string slashed = WithForwardSlashes(path);
  for (const auto& [folder, shown] : trace_folders_) {
    if (StartsWithFolder(slashed, folder)) return shown + slashed.substr(folder.size());
  }
  if (!trace_root_.empty() && StartsWithFolder(slashed, trace_root_)) {
    return u"$ROOT" + slashed.substr(trace_root_.size());
  }
  return std::u16string(path);
}

void DriverModel::SetTraceRoot(std::u16string_view root) {
  std::lock_guard<std::mutex> hold(mutex_);
  trace_root_ = TrimmedFolder(root);
}

void DriverModel::AddTraceFolder(std::u16string_view folder, std::u16string_view shown) {
  std::lock_guard<std::mutex> hold(mutex_);
  trace_folders_.emplace_back(TrimmedFolder(folder), std::u16string(shown));
}

uint64_t DriverModel::RecordCount() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return next_seq_ - 1;
}

std::vector<std::string> DriverModel::Trace() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return trace_;
}

std::vector<std::chrono::steady_clock::time_point> DriverModel::TraceTimes() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return trace_times_;
}

void DriverModel::ClearTrace() {
  std::lock_guard<std::mutex> hold(mutex_);
  trace_.clear();
  trace_times_.clear();
}

}  // namespace sim
