// Drives the simulated bootloader with arbitrary host bytes in arbitrary fragments and checks
// that framing does not depend on how the bytes were cut: a second device fed the same bytes
// one at a time must end in the same state and have sent the same answers. Every packet it
// records must be one a host could have framed.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "sim/device_model.h"

namespace {

using namespace lumaflash::sim;

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

DeviceConfig PickConfig(FuzzedDataProvider& provider) {
  DeviceConfig config;
  constexpr uint16_t kBootloaders[] = {0x0100, 0x0101, 0x0102, 0x0000};
  constexpr uint16_t kDevices[] = {0x3514, 0x4801, 0x0481, 0x0795, 0x3409, 0x0008, 0x3611};
  config.bootloaderVersion = provider.PickValueInArray(kBootloaders);
  config.deviceId = provider.PickValueInArray(kDevices);
  config.infoTag = provider.ConsumeBool() ? uint16_t{0x2118} : uint16_t{0x1111};
  config.blockSize = provider.ConsumeIntegralInRange<uint16_t>(0, 1100);
  config.serial = provider.ConsumeBytes<uint8_t>(provider.ConsumeIntegralInRange<size_t>(0, 300));
  config.stayInBootloader = provider.ConsumeBool();
  return config;
}

std::vector<FaultPlan> PickFaults(FuzzedDataProvider& provider) {
  std::vector<FaultPlan> faults;
  const int count = provider.ConsumeIntegralInRange<int>(0, 3);
  for (int i = 0; i < count; ++i) {
    FaultPlan plan;
    plan.fault = static_cast<Fault>(provider.ConsumeIntegralInRange<int>(0, 7));
    plan.on = static_cast<PacketKind>(provider.ConsumeIntegralInRange<int>(0, 3));
    plan.index = provider.ConsumeIntegralInRange<int>(-1, 4);
    faults.push_back(plan);
  }
  return faults;
}

void Append(const Response& response, std::vector<uint8_t>& answers, int& vanishes) {
  for (const Reply& reply : response.replies) {
    Check(reply.delay >= Clock::duration::zero());
    Check(reply.bytes.size() <= kOverlongReplySize);
    answers.insert(answers.end(), reply.bytes.begin(), reply.bytes.end());
    answers.push_back(static_cast<uint8_t>(reply.delay.count() & 0xFF));
  }
  vanishes += response.vanish ? 1 : 0;
}

void CheckPacketsAreFramed(const DeviceModel& device) {
  for (const std::vector<uint8_t>& packet : device.Packets()) {
    Check(!packet.empty());
    if (packet[0] == 0xB1) {
      Check(packet.size() >= 3);
      const std::size_t announced = static_cast<std::size_t>(packet[1]) << 8 | packet[2];
      Check(announced <= 1021 && packet.size() == 3 + announced);
    } else {
      Check(packet.size() == 1 && (packet[0] == 0xB0 || packet[0] == 0xB7));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const DeviceConfig config = PickConfig(provider);
  const std::vector<FaultPlan> faults = PickFaults(provider);
  DeviceModel chunked(config, faults);
  DeviceModel bytewise(config, faults);
  std::vector<uint8_t> chunkedAnswers;
  std::vector<uint8_t> bytewiseAnswers;
  int chunkedVanishes = 0;
  int bytewiseVanishes = 0;

  Clock::time_point now{};
  while (provider.remaining_bytes() > 0) {
    now += std::chrono::milliseconds(provider.ConsumeIntegralInRange<int>(0, 150));
    const std::vector<uint8_t> chunk =
        provider.ConsumeBytes<uint8_t>(provider.ConsumeIntegralInRange<size_t>(1, 1100));
    Append(chunked.Receive(chunk, now), chunkedAnswers, chunkedVanishes);
    for (const uint8_t byte : chunk) {
      Append(bytewise.Receive({&byte, 1}, now), bytewiseAnswers, bytewiseVanishes);
    }
  }

  Check(chunkedAnswers == bytewiseAnswers);
  Check(chunkedVanishes == bytewiseVanishes && chunkedVanishes <= 1);
  Check(chunked.Packets() == bytewise.Packets());
  Check(chunked.Image() == bytewise.Image());
  Check(chunked.BlockCount() == bytewise.BlockCount());
  Check(chunked.RunReceived() == bytewise.RunReceived());
  Check(chunked.InBootloader() == bytewise.InBootloader());
  Check(chunked.Vanished() == bytewise.Vanished());
  Check(chunked.TimingViolations() == bytewise.TimingViolations());
  Check(chunked.ProtocolViolations() == bytewise.ProtocolViolations());
  CheckPacketsAreFramed(chunked);
  Check(chunked.Image().size() <= static_cast<std::size_t>(chunked.BlockCount()) * 1021);
  return 0;
}
