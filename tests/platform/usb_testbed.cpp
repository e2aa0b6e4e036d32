#include "tests/platform/usb_testbed.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>

namespace lumaset::test {

namespace {

// A reap that finds nothing waits this long for a transfer to end before it
// answers EAGAIN. The emulated node is a plain file that poll() always calls
// ready, so libusb's event loop would otherwise spin on reaps.
constexpr auto kReapWait = std::chrono::milliseconds(2);

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char digits[3];
  for (uint8_t b : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", b);
    text += digits;
  }
  return text;
}

std::string Number(int value, int width) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*d", width, value);
  return text;
}

void Put16(std::vector<uint8_t>& out, unsigned value) {
  out.push_back(static_cast<uint8_t>(value & 0xFF));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

// A string descriptor in UTF-16LE (ASCII text only).
std::vector<uint8_t> StringDescriptor(const std::string& text) {
  std::vector<uint8_t> d{static_cast<uint8_t>(2 + 2 * text.size()), 3};
  for (char c : text) Put16(d, static_cast<uint8_t>(c));
  return d;
}

}  // namespace

std::vector<uint8_t> DescriptorSet(const DeviceSpec& spec) {
  std::vector<uint8_t> d{18, 1, 0x00, 0x02, spec.deviceClass, 0, 0, 64};
  Put16(d, spec.vendorId);
  Put16(d, spec.productId);
  Put16(d, 0x0100);
  d.push_back(0);                          // iManufacturer
  d.push_back(0);                          // iProduct
  d.push_back(spec.serial.empty() ? 0 : 3);  // iSerialNumber
  d.push_back(1);                          // one configuration
  std::vector<uint8_t> body;
  for (const InterfaceSpec& i : spec.interfaces) {
    body.insert(body.end(), {9, 4, i.number, 0, static_cast<uint8_t>(i.endpoints.size()), i.interfaceClass, 0, 0, 0});
    for (const EndpointSpec& e : i.endpoints) {
      body.insert(body.end(), {7, 5, e.address, e.type});
      Put16(body, e.maxPacket);
      body.push_back(e.type == 3 ? 10 : 0);
    }
  }
  d.insert(d.end(), {9, 2});
  Put16(d, static_cast<unsigned>(9 + body.size()));
  d.insert(d.end(), {static_cast<uint8_t>(spec.interfaces.size()), 1, 0, 0x80, 50});
  d.insert(d.end(), body.begin(), body.end());
  return d;
}

// ---- one device's usbfs -----------------------------------------------------------

struct EmulatedUsbDevice::State {
  struct Urb {
    UMockdevIoctlClient* client;
    UMockdevIoctlData* urb;     // the client's struct usbdevfs_urb
    UMockdevIoctlData* buffer;  // its data buffer
    unsigned long address;      // where the client keeps the urb
    uint8_t type, endpoint;
    int length;
    int actual = 0;
    bool discarded = false;  // cancelled, but held back by the device
    usbdevfs_urb* Fields() const { return reinterpret_cast<usbdevfs_urb*>(urb->data); }
  };

  DeviceSpec spec;
  std::string devnode, syspath, nodeFile;
  UMockdevTestbed* bed = nullptr;
  UMockdevIoctlBase* handler = nullptr;

  mutable std::mutex lock;
  mutable std::condition_variable changed;
  std::map<uint8_t, uint16_t> maxPacket;
  std::map<uint8_t, std::deque<std::vector<uint8_t>>> inPackets;
  std::map<uint8_t, std::vector<std::vector<uint8_t>>> received;
  long outBudget = -1;
  bool outStall = false;  // at the end of the budget the endpoint stalls
  bool holdDiscards = false;
  bool busy = false, gone = false;
  int opens = 0;
  std::set<int> claimed, everClaimed;
  std::list<Urb> pending;
  std::list<Urb> done;
  std::list<Urb> reaped;  // handed to the client by the reap being answered
  uint8_t responseEndpoint = 0;
  std::function<std::vector<std::vector<uint8_t>>(uint8_t, const std::vector<uint8_t>&)> responder;

  ~State() {
    for (auto* list : {&pending, &done, &reaped})
      for (Urb& u : *list) Release(u);
    if (handler) g_object_unref(handler);
  }

  static void Release(Urb& u) {
    g_object_unref(u.buffer);
    g_object_unref(u.urb);
    g_object_unref(u.client);
  }

  // Ends a transfer: it waits in `done` for the client's reap.
  void Finish(std::list<Urb>::iterator it, int status) {
    it->Fields()->status = status;
    it->Fields()->actual_length = it->actual;
    std::vector<std::vector<uint8_t>> answers;
    if (!(it->endpoint & 0x80) && it->type == USBDEVFS_URB_TYPE_BULK) {
      const uint8_t* data = it->buffer->data;
      received[it->endpoint].emplace_back(data, data + it->actual);
      if (responder && !gone) answers = responder(it->endpoint, received[it->endpoint].back());
    }
    done.splice(done.end(), pending, it);
    for (const auto& answer : answers) Queue(responseEndpoint, answer);
    if (!answers.empty()) FeedIn();
    changed.notify_all();
  }

  // Splits bytes into the IN endpoint's packets.
  void Queue(uint8_t endpoint, const std::vector<uint8_t>& bytes) {
    const size_t packet = maxPacket.count(endpoint) ? maxPacket[endpoint] : 64;
    size_t at = 0;
    do {
      const size_t n = std::min(packet, bytes.size() - at);
      inPackets[endpoint].emplace_back(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + n));
      at += n;
    } while (at < bytes.size());
  }

  // Hands queued IN packets to the pending IN transfers, oldest first.
  void FeedIn() {
    for (auto it = pending.begin(); it != pending.end();) {
      auto next = std::next(it);
      if ((it->endpoint & 0x80) && it->type != USBDEVFS_URB_TYPE_CONTROL && !it->discarded) {
        auto& queue = inPackets[it->endpoint];
        const size_t packet = maxPacket.count(it->endpoint) ? maxPacket[it->endpoint] : 64;
        while (!queue.empty()) {
          std::vector<uint8_t> p = std::move(queue.front());
          queue.pop_front();
          const size_t room = static_cast<size_t>(it->length - it->actual);
          if (p.size() > room) {
            // More than the transfer asked for: the controller reports
            // babble, with the bytes that fitted.
            std::memcpy(it->buffer->data + it->actual, p.data(), room);
            it->actual += static_cast<int>(room);
            Finish(it, -EOVERFLOW);
            break;
          }
          std::memcpy(it->buffer->data + it->actual, p.data(), p.size());
          it->actual += static_cast<int>(p.size());
          if (p.size() < packet || it->actual == it->length) {
            Finish(it, 0);
            break;
          }
        }
      }
      it = next;
    }
  }

  void Control(std::list<Urb>::iterator it) {
    const uint8_t* setup = it->buffer->data;
    const unsigned value = setup[2] | (setup[3] << 8), requested = setup[6] | (setup[7] << 8);
    std::vector<uint8_t> answer;
    bool stall = true;
    if (setup[0] == 0x80 && setup[1] == 6 && (value >> 8) == 3) {  // GET_DESCRIPTOR (string)
      if ((value & 0xFF) == 0) {
        answer = {4, 3, 0x09, 0x04};
        stall = false;
      } else if ((value & 0xFF) == 3 && !spec.serial.empty()) {
        answer = StringDescriptor(spec.serial);
        stall = false;
      }
    }
    const size_t n = std::min({answer.size(), static_cast<size_t>(requested), static_cast<size_t>(it->length - 8)});
    std::memcpy(it->buffer->data + 8, answer.data(), n);
    it->actual = static_cast<int>(n);
    Finish(it, stall ? -EPIPE : 0);
  }

  void Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    auto* fields = reinterpret_cast<usbdevfs_urb*>(urb->data);
    const int length = fields->buffer_length;
    UMockdevIoctlData* buffer =
        umockdev_ioctl_data_resolve(urb, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(length), nullptr);
    fields = reinterpret_cast<usbdevfs_urb*>(urb->data);
    Urb u{static_cast<UMockdevIoctlClient*>(g_object_ref(client)), static_cast<UMockdevIoctlData*>(g_object_ref(urb)),
          static_cast<UMockdevIoctlData*>(g_object_ref(buffer)), urb->client_addr, fields->type, fields->endpoint,
          length};
    pending.push_back(u);
    auto it = std::prev(pending.end());
    if (u.type == USBDEVFS_URB_TYPE_CONTROL) {
      Control(it);
    } else if (u.endpoint & 0x80) {
      FeedIn();
    } else {
      const long take = outBudget < 0 ? length : std::min<long>(length, outBudget);
      if (outBudget >= 0) outBudget -= take;
      it->actual = static_cast<int>(take);
      if (take == length)
        Finish(it, 0);
      else if (outStall)
        Finish(it, -EPIPE);
      // else it NAKs until it is discarded
    }
    changed.notify_all();
  }

  // Kernel answers: -1 and an errno, or the result.
  long Ioctl(UMockdevIoctlClient* client, unsigned long request, int* error, std::unique_lock<std::mutex>& guard) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    auto fail = [error](int e) { *error = e; return -1L; };
    if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) {
      auto mine = [&] {
        return std::find_if(done.begin(), done.end(), [client](const Urb& u) { return u.client == client; });
      };
      auto it = mine();
      if (it == done.end()) {
        if (gone) return fail(ENODEV);
        changed.wait_for(guard, kReapWait, [&] { return mine() != done.end() || gone; });
        it = mine();
        if (it == done.end()) return fail(gone ? ENODEV : EAGAIN);
      }
      UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
      umockdev_ioctl_data_set_ptr(slot, 0, it->urb);
      // Its memory goes back to the client when the reap completes.
      reaped.splice(reaped.end(), done, it);
      changed.notify_all();
      return 0;
    }
    if (gone) return fail(ENODEV);
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        // libusb asks for them once on every open, before the open returns:
        // a count the caller can rely on (umockdev's connect signal comes
        // later, and also for an open that fails).
        ++opens;
        const uint32_t caps = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
        std::memcpy(umockdev_ioctl_data_resolve(arg, 0, sizeof caps, nullptr)->data, &caps, sizeof caps);
        return 0;
      }
      case USBDEVFS_CONNECTINFO: {
        usbdevfs_connectinfo info{spec.address, 0};
        std::memcpy(umockdev_ioctl_data_resolve(arg, 0, sizeof info, nullptr)->data, &info, sizeof info);
        return 0;
      }
      case USBDEVFS_DISCONNECT_CLAIM:
      case USBDEVFS_CLAIMINTERFACE: {
        unsigned number = 0;
        std::memcpy(&number, umockdev_ioctl_data_resolve(arg, 0, sizeof number, nullptr)->data, sizeof number);
        if (busy) return fail(EBUSY);
        const bool known = std::any_of(spec.interfaces.begin(), spec.interfaces.end(),
                                       [number](const InterfaceSpec& i) { return i.number == number; });
        if (!known) return fail(ENOENT);
        claimed.insert(static_cast<int>(number));
        everClaimed.insert(static_cast<int>(number));
        return 0;
      }
      case USBDEVFS_RELEASEINTERFACE: {
        unsigned number = 0;
        std::memcpy(&number, umockdev_ioctl_data_resolve(arg, 0, sizeof number, nullptr)->data, sizeof number);
        if (!claimed.erase(static_cast<int>(number))) return fail(EINVAL);
        return 0;
      }
      case USBDEVFS_GETDRIVER:
      case USBDEVFS_IOCTL:
        return fail(ENODATA);  // no kernel driver is bound to any interface
      case USBDEVFS_CLEAR_HALT:
        if (outStall) {
          outStall = false;
          outBudget = -1;
        }
        return 0;
      case USBDEVFS_SUBMITURB:
        Submit(client, arg);
        return 0;
      case USBDEVFS_DISCARDURB: {
        unsigned long address = 0;
        std::memcpy(&address, arg->data, std::min<size_t>(sizeof address, static_cast<size_t>(arg->data_len)));
        auto it = std::find_if(pending.begin(), pending.end(),
                               [&](const Urb& u) { return u.client == client && u.address == address; });
        if (it == pending.end() || it->discarded) return fail(EINVAL);
        if (holdDiscards)
          it->discarded = true;
        else
          Finish(it, -ENOENT);
        return 0;
      }
      default:
        return fail(ENOTTY);
    }
  }

  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto* self = static_cast<State*>(data);
    int error = 0;
    long result;
    {
      std::unique_lock<std::mutex> guard(self->lock);
      result = self->Ioctl(client, umockdev_ioctl_client_get_request(client), &error, guard);
    }
    umockdev_ioctl_client_complete(client, result, error);
    std::lock_guard<std::mutex> guard(self->lock);
    for (Urb& u : self->reaped) Release(u);
    self->reaped.clear();
    return TRUE;
  }

  // A closed node: the kernel drops its transfers and claims.
  static void OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto* self = static_cast<State*>(data);
    std::lock_guard<std::mutex> guard(self->lock);
    for (auto* list : {&self->pending, &self->done}) {
      for (auto it = list->begin(); it != list->end();) {
        if (it->client != client) {
          ++it;
          continue;
        }
        Release(*it);
        it = list->erase(it);
      }
    }
    self->changed.notify_all();
  }
};

EmulatedUsbDevice::EmulatedUsbDevice(std::shared_ptr<State> state) : state_(std::move(state)) {}
EmulatedUsbDevice::~EmulatedUsbDevice() = default;

void EmulatedUsbDevice::SendIn(uint8_t endpoint, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->Queue(endpoint, bytes);
  state_->FeedIn();
}

std::vector<std::vector<uint8_t>> EmulatedUsbDevice::Received(uint8_t endpoint) const {
  std::lock_guard<std::mutex> guard(state_->lock);
  auto it = state_->received.find(endpoint);
  return it == state_->received.end() ? std::vector<std::vector<uint8_t>>{} : it->second;
}

void EmulatedUsbDevice::SetResponder(uint8_t inEndpoint, Responder responder) {
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->responseEndpoint = inEndpoint;
  state_->responder = std::move(responder);
}

void EmulatedUsbDevice::LimitOut(long bytes) {
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->outBudget = bytes;
}

void EmulatedUsbDevice::StallOutAfter(long bytes) {
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->outBudget = bytes;
  state_->outStall = true;
}

void EmulatedUsbDevice::HoldDiscards(bool hold) {
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->holdDiscards = hold;
  if (hold) return;
  for (auto it = state_->pending.begin(); it != state_->pending.end();) {
    auto next = std::next(it);
    if (it->discarded) state_->Finish(it, -ENOENT);
    it = next;
  }
}

void EmulatedUsbDevice::SetBusy(bool busy) {
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->busy = busy;
}

void EmulatedUsbDevice::Unplug() {
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (state_->gone) return;
    state_->gone = true;
    while (!state_->pending.empty()) state_->Finish(state_->pending.begin(), -ESHUTDOWN);
    state_->changed.notify_all();
  }
  umockdev_testbed_uevent(state_->bed, state_->syspath.c_str(), "remove");
  umockdev_testbed_remove_device(state_->bed, state_->syspath.c_str());
}

int EmulatedUsbDevice::Opens() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->opens;
}

int EmulatedUsbDevice::OpenNow() const {
  // umockdev tells of a closed node late or not at all: count this process's
  // descriptors of the node instead.
  int count = 0;
  DIR* fds = opendir("/proc/self/fd");
  if (!fds) return -1;
  while (dirent* entry = readdir(fds)) {
    char target[4096];
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == state_->nodeFile) ++count;
  }
  closedir(fds);
  return count;
}

std::vector<int> EmulatedUsbDevice::Claimed() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return {state_->claimed.begin(), state_->claimed.end()};
}

std::vector<int> EmulatedUsbDevice::EverClaimed() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return {state_->everClaimed.begin(), state_->everClaimed.end()};
}

int EmulatedUsbDevice::PendingTransfers() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return static_cast<int>(state_->pending.size());
}

bool EmulatedUsbDevice::WaitPending(uint8_t endpoint, int count, int timeoutMs) const {
  std::unique_lock<std::mutex> guard(state_->lock);
  return state_->changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
    return std::count_if(state_->pending.begin(), state_->pending.end(),
                         [endpoint](const State::Urb& u) { return u.endpoint == endpoint; }) >= count;
  });
}

bool EmulatedUsbDevice::WaitIdle(int timeoutMs) const {
  std::unique_lock<std::mutex> guard(state_->lock);
  return state_->changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                  [&] { return state_->pending.empty() && state_->done.empty(); });
}

// ---- the bed ----------------------------------------------------------------------

struct UsbTestbed::Impl {
  UMockdevTestbed* bed = nullptr;
  std::map<std::string, std::string> paths;  // name -> sysfs path
  std::vector<std::unique_ptr<EmulatedUsbDevice>> devices;

  void Add(const DeviceSpec& spec, const std::string& extraAttributes) {
    auto parent = paths.find(spec.parent);
    const std::string path = (parent == paths.end() ? std::string("/devices") : parent->second) + "/" + spec.name;
    const std::string bus = Number(spec.bus, 3), dev = Number(spec.address, 3);
    std::string text = "P: " + path + "\nN: bus/usb/" + bus + "/" + dev + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n" +
                       "E: DEVNAME=/dev/bus/usb/" + bus + "/" + dev + "\nE: BUSNUM=" + bus + "\nE: DEVNUM=" + dev +
                       "\nA: busnum=" + std::to_string(spec.bus) + "\nA: devnum=" + std::to_string(spec.address) +
                       "\nA: speed=" + std::to_string(spec.speed) + "\nA: bConfigurationValue=1\n" + extraAttributes +
                       "H: descriptors=" + Hex(DescriptorSet(spec)) + "\n";
    AddText(text, "device " + spec.name);
    paths[spec.name] = path;
  }

  void AddText(const std::string& text, const std::string& what) {
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(bed, text.c_str(), &error)) {
      std::string message = error ? error->message : "?";
      if (error) g_error_free(error);
      throw std::runtime_error("umockdev refused " + what + ": " + message);
    }
  }

  // A tty at sysfs path `path` (without /sys). Its node is given contents, so
  // that it is a plain file in the bed: without them umockdev makes the node a
  // symlink to a pseudo-terminal, and realpath() of such a node under the
  // preload library fails (it strips the bed's folder from a result outside
  // the bed). stat() of the node still gives a character device of `devnum`.
  std::string AddTty(const std::string& path, const std::string& tty, const std::string& devnum) {
    const size_t colon = devnum.find(':');
    AddText("P: " + path + "\nN: " + tty + "=00\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/" + tty + "\nE: MAJOR=" +
                devnum.substr(0, colon) + "\nE: MINOR=" + devnum.substr(colon + 1) + "\nA: dev=" + devnum + "\n",
            tty);
    return "/dev/" + tty;
  }
};

// A high-speed hub with its one interrupt endpoint of `maxPacket` bytes.
static DeviceSpec HubSpec(const std::string& name, const std::string& parent, uint8_t address, uint16_t vendorId,
                          uint16_t productId, uint16_t maxPacket) {
  DeviceSpec hub;
  hub.name = name;
  hub.parent = parent;
  hub.address = address;
  hub.vendorId = vendorId;
  hub.productId = productId;
  hub.speed = 480;
  hub.deviceClass = 9;
  hub.interfaces = {{0, 9, {{0x81, 3, maxPacket}}}};
  return hub;
}

UsbTestbed::UsbTestbed() : impl_(std::make_unique<Impl>()) {
  impl_->bed = umockdev_testbed_new();
  // The bus's root hub.
  impl_->Add(HubSpec("usb1", "", 1, 0x1d6b, 0x0002, 4), "");
}

UsbTestbed::~UsbTestbed() {
  g_object_unref(impl_->bed);
  impl_->devices.clear();
}

bool UsbTestbed::InMockEnvironment() {
  // umockdev_in_mock_environment() says no even under the wrapper: look for
  // the library among this process's mappings.
  FILE* maps = std::fopen("/proc/self/maps", "r");
  if (!maps) return false;
  char line[4096];
  bool found = false;
  while (!found && std::fgets(line, sizeof line, maps)) found = std::strstr(line, "libumockdev-preload") != nullptr;
  std::fclose(maps);
  return found;
}

void UsbTestbed::AddHub(const std::string& name, const std::string& parent, uint8_t address) {
  impl_->Add(HubSpec(name, parent, address, 0x05e3, 0x0610, 1), "");
}

EmulatedUsbDevice& UsbTestbed::AddDevice(const DeviceSpec& spec) {
  auto state = std::make_shared<EmulatedUsbDevice::State>();
  state->spec = spec;
  state->bed = impl_->bed;
  for (const InterfaceSpec& i : spec.interfaces)
    for (const EndpointSpec& e : i.endpoints) state->maxPacket[e.address] = e.maxPacket;
  impl_->Add(spec, spec.serial.empty() ? "" : "A: serial=" + spec.serial + "\n");
  state->syspath = "/sys" + impl_->paths[spec.name];
  state->devnode = "/dev/bus/usb/" + Number(spec.bus, 3) + "/" + Number(spec.address, 3);
  state->nodeFile = NodeFile(spec);
  state->handler = umockdev_ioctl_base_new();
  g_signal_connect(state->handler, "handle-ioctl", G_CALLBACK(&EmulatedUsbDevice::State::OnIoctl), state.get());
  g_signal_connect(state->handler, "client-vanished", G_CALLBACK(&EmulatedUsbDevice::State::OnVanished),
                   state.get());
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(impl_->bed, state->devnode.c_str(), state->handler, &error)) {
    std::string message = error ? error->message : "?";
    if (error) g_error_free(error);
    throw std::runtime_error("umockdev: no ioctl handler for " + state->devnode + ": " + message);
  }
  impl_->devices.push_back(std::make_unique<EmulatedUsbDevice>(state));
  return *impl_->devices.back();
}

std::string UsbTestbed::AddSerialAdapter(const SerialAdapterSpec& spec) {
  std::string attributes;
  if (!spec.usb.serial.empty()) attributes += "A: serial=" + spec.usb.serial + "\n";
  if (!spec.product.empty()) attributes += "A: product=" + spec.product + "\n";
  if (!spec.manufacturer.empty()) attributes += "A: manufacturer=" + spec.manufacturer + "\n";
  char ids[48];
  std::snprintf(ids, sizeof ids, "A: idVendor=%04x\nA: idProduct=%04x\n", spec.usb.vendorId, spec.usb.productId);
  attributes += ids;
  impl_->Add(spec.usb, attributes);
  std::string path = impl_->paths[spec.usb.name] + "/" + spec.usb.name + ":1.0";
  impl_->AddText("P: " + path + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceNumber=00\n",
                 spec.usb.name + ":1.0");
  if (spec.tty.rfind("ttyUSB", 0) == 0) {
    // A usb-serial driver puts a port of its own between interface and tty.
    path += "/" + spec.tty;
    impl_->AddText("P: " + path + "\nE: SUBSYSTEM=usb-serial\n", spec.tty + " port");
  }
  return impl_->AddTty(path + "/tty/" + spec.tty, spec.tty, spec.devnum);
}

std::string UsbTestbed::AddBuiltInTty(const std::string& tty, const std::string& devnum) {
  if (!impl_->paths.count("serial8250")) {
    impl_->AddText("P: /devices/platform/serial8250\nE: SUBSYSTEM=platform\nE: DRIVER=serial8250\n", "serial8250");
    impl_->paths["serial8250"] = "/devices/platform/serial8250";
  }
  return impl_->AddTty("/devices/platform/serial8250/tty/" + tty, tty, devnum);
}

std::string UsbTestbed::NodeFile(const DeviceSpec& spec) const {
  gchar* root = umockdev_testbed_get_root_dir(impl_->bed);
  std::string path = std::string(root) + "/dev/bus/usb/" + Number(spec.bus, 3) + "/" + Number(spec.address, 3);
  g_free(root);
  return path;
}

}  // namespace lumaset::test
