#include <algorithm>
#include <cctype>

#include "core/serial/os_port.h"
#include "core/serial/port.h"
#include "core/serial/port_advice.h"

namespace lumaflash::serial {

const char* PortErrorName(PortError error) {
  switch (error) {
    case PortError::None:
      return "ok";
    case PortError::NotFound:
      return "not-found";
    case PortError::Busy:
      return "busy";
    case PortError::AccessDenied:
      return "access-denied";
    case PortError::Vanished:
      return "vanished";
    case PortError::Unusable:
      return "unusable";
    case PortError::NotOpen:
      return "not-open";
    case PortError::Internal:
      return "internal-error";
  }
  return "unknown";
}

std::string DescribePortFailure(const PortFailure& failure) {
  const std::string& port = failure.path;
  switch (failure.error) {
    case PortError::None:
      return port + ": no error.";
    case PortError::NotFound:
      return port + ": no such port. " + std::string(NoSuchPortChecks()) + ", then try again.";
    case PortError::Busy:
      if (!failure.evidence.empty()) {  // the holders are known by name
        return failure.evidence + ". Close that program and try again" +
               std::string(HolderAdvice()) + ".";
      }
      return port + " is busy: another program holds it" + std::string(LikelyHolders()) +
             ". Close that program and try again.";
    case PortError::AccessDenied:
      return port + ": " + AccessDeniedWords(failure.osError) + ". " + AccessDeniedAdvice(port);
    case PortError::Vanished:
      return port + " vanished: the device was unplugged or reset. Plug it in again and retry." +
             (failure.evidence.empty() ? "" : " (" + failure.evidence + ")");
    case PortError::Unusable:
      return port + " cannot be used as a serial port (" + SystemErrorText(failure.osError) +
             "). Check that it is the device's port.";
    case PortError::NotOpen:
      return port + " is not open.";
    case PortError::Internal:
      return port + ": the program failed while using it (" + failure.evidence + "). Try again.";
  }
  return port;
}

const char* SkipReasonName(SkipReason reason) {
  switch (reason) {
    case SkipReason::None:
      return nullptr;
    case SkipReason::Console:
      return "console";
    case SkipReason::NoUart:
      return "no-uart";
  }
  return nullptr;
}

std::vector<PortAddress> NamedPorts(const std::vector<std::string>& paths) {
  std::vector<PortAddress> ports;
  ports.reserve(paths.size());
  for (const std::string& path : paths) {
    // A port named twice is one port: probing it twice at once would find it busy with itself.
    if (std::any_of(ports.begin(), ports.end(),
                    [&](const PortAddress& known) { return known.path == path; })) {
      continue;
    }
    ports.emplace_back(static_cast<int>(ports.size()) + 1, path, FindUsbIdentity(path));
  }
  return ports;
}

// "ttyACM2" < "ttyACM10": runs of digits compare by value, everything else by character.
bool NaturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    const bool digitA = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
    const bool digitB = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
    if (digitA && digitB) {
      std::size_t endA = a.find_first_not_of("0123456789", i);
      std::size_t endB = b.find_first_not_of("0123456789", j);
      endA = endA == std::string::npos ? a.size() : endA;
      endB = endB == std::string::npos ? b.size() : endB;
      std::string numberA = a.substr(i, endA - i);
      std::string numberB = b.substr(j, endB - j);
      numberA.erase(0, std::min(numberA.find_first_not_of('0'), numberA.size()));
      numberB.erase(0, std::min(numberB.find_first_not_of('0'), numberB.size()));
      if (numberA.size() != numberB.size()) {
        return numberA.size() < numberB.size();
      }
      if (numberA != numberB) {
        return numberA < numberB;
      }
      i = endA;
      j = endB;
      continue;
    }
    if (a[i] != b[j]) {
      return a[i] < b[j];
    }
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

std::string PortLogName(const PortAddress& address) {
  return address.path;
}

struct PortLink::Impl {
  std::unique_ptr<OsPort> os = MakeOsPort();
};

PortLink::PortLink() : m_impl(std::make_unique<Impl>()) {}

PortLink::~PortLink() {
  ClosePort();
}

Expected<void, PortFailure> PortLink::OpenPort(const PortAddress& address) {
  ClosePort();
  OsPort& os = *m_impl->os;
  os.SetPath(address.path);
  if (auto opened = os.Open(address.path); !opened) {
    return opened;
  }
  auto configured = os.Configure();
  if (!configured) {
    os.Close();  // gives back what was already changed; the reason stays the configure step's
  }
  return configured;
}

Expected<uint32_t, PortFailure> PortLink::Exchange(std::span<const uint8_t> tx,
                                                   std::span<uint8_t> rx, int32_t timeoutMs) {
  OsPort& os = *m_impl->os;
  if (!os.IsOpen()) {
    return MakeUnexpected(PortFailure{PortError::NotOpen, 0, os.Path()});
  }
  // Bytes that came after the last exchange's deadline belong to no one.
  os.DiscardInput();
  if (auto written = os.WriteAll(tx); !written) {
    return MakeUnexpected(written.error());  // nothing will answer a packet that did not go out
  }
  const Collected reply = os.Collect(rx, timeoutMs);
  if (reply.count == 0 && reply.ended.error != PortError::None) {
    return MakeUnexpected(reply.ended);
  }
  return reply.count;
}

void PortLink::ClosePort() {
  m_impl->os->Close();
}

bool PortLink::IsOpen() const {
  return m_impl->os->IsOpen();
}

}  // namespace lumaflash::serial
