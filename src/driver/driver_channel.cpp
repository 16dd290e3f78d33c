// Opening, requests and closing of driver channels, with the legacy link fall-backs.
#include "driver/driver_channel.h"

#include <string>

#include "platform/registry.h"

namespace {

constexpr uint32_t kMaxInstanceIdUnits = 260;  // an identifier must be shorter than this
constexpr uint32_t kDriverKeyUnits = 64;       // 128 bytes
constexpr char16_t kClassKey[] = u"System\\CurrentControlSet\\Control\\Class";

platform::DeviceHandle OpenReadWrite(std::u16string_view path, bool overlapped) {
  return platform::OpenDevice(path, platform::DeviceAccess::kReadWrite, overlapped);
}

// Copies text with its terminator into buffer; text that does not fit leaves the buffer empty.
void CopyOrEmpty(std::u16string_view text, char16_t* buffer, uint32_t units) {
  if (text.size() >= units) {
    buffer[0] = u'\0';
    return;
  }
  text.copy(buffer, text.size());
  buffer[text.size()] = u'\0';
}

}  // namespace

DriverChannel::DriverChannel(platform::DeviceHandle handle, bool overlapped)
    : handle_(handle), owns_(false), overlapped_(overlapped) {}

bool DriverChannel::Open(std::u16string_view path, bool overlapped) {
  if (owns_) Close();
  overlapped_ = overlapped;
  handle_ = nullptr;
  owns_ = true;
  handle_ = OpenReadWrite(path, overlapped);
  if (handle_ != nullptr) return true;
  char16_t name[kLegacyLinkUnits] = {};
  if (!FindLegacyLink(path, name)) CopyOrEmpty(kControlDevicePath, name, kLegacyLinkUnits);
  if (name[0] != u'\0') handle_ = OpenReadWrite(name, overlapped);
  return handle_ != nullptr;
}

bool DriverChannel::Control(uint32_t code, const void* input, uint32_t input_size, void* output,
                            uint32_t output_size) {
  if (handle_ == nullptr) return false;
  uint32_t returned = 0;
  if (!overlapped_) {
    return platform::DeviceControl(handle_, code, input, input_size, output, output_size,
                                   &returned);
  }
  platform::Event done(platform::Event::Kind::kManualReset);
  if (!done.Valid()) return false;
  platform::Overlapped request(done);
  // A request that fails at once never went pending: there is nothing to wait for.
  if (!platform::IssueControl(handle_, code, input, input_size, output, output_size, request)) {
    return false;
  }
  // A driver that does not answer in time is asked to cancel; the request has ended (answered
  // or cancelled) once the drain returns, and only then may its buffers go.
  if (!done.Wait(platform::RequestTimeLimitMs())) platform::CancelAndDrain(handle_, request);
  return platform::GetOverlappedResult(handle_, request, &returned, false);
}

void DriverChannel::Close() {
  if (owns_ && handle_ != nullptr) platform::CloseDevice(handle_);
  handle_ = nullptr;
}

bool InstanceIdFromInterfacePath(std::u16string_view path, std::u16string* instance_id) {
  size_t start = path.find_first_not_of(u"\\?");
  if (start == std::u16string_view::npos) return false;
  size_t last_hash = path.rfind(u'#');
  if (last_hash == std::u16string_view::npos) return false;
  std::u16string id(path.substr(start, last_hash - start));
  if (id.size() >= kMaxInstanceIdUnits) return false;
  for (char16_t& unit : id) {
    if (unit == u'#') unit = u'\\';
  }
  *instance_id = std::move(id);
  return true;
}

bool FindLegacyLink(std::u16string_view device_path, char16_t* name) {
  std::u16string instance_id;
  if (!InstanceIdFromInterfacePath(device_path, &instance_id)) return false;
  char16_t driver_key[kDriverKeyUnits] = {};
  if (!platform::DeviceDriverKey(instance_id, driver_key, kDriverKeyUnits)) return false;
  std::u16string key(kClassKey);
  key += u'\\';
  key += driver_key;
  return platform::ReadMachineString(key, u"LegacyLink", name, kLegacyLinkUnits);
}
