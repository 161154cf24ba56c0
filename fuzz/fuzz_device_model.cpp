// Drives the simulated bootloader with arbitrary host bytes in arbitrary fragments: a second
// device fed the same bytes one at a time must end in the same state and have sent the same
// answers, and every packet it records must be one a host could have framed.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/check.h"
#include "sim/device_model.h"

using namespace lumaflash::sim;

namespace {

void Append(const Response& response, std::vector<uint8_t>& answers) {
  for (const Reply& reply : response.replies) {
    answers.insert(answers.end(), reply.bytes.begin(), reply.bytes.end());
    answers.push_back(static_cast<uint8_t>(reply.delay.count() & 0xFF));
  }
  if (response.vanish) {
    answers.push_back(0xFF);  // after the delays' bytes, so that it cannot pass for one
    answers.push_back(0xFF);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  DeviceConfig config;
  config.bootloaderVersion = provider.ConsumeBool() ? 0x0101 : 0x0100;
  config.deviceId = provider.PickValueInArray<uint16_t>({0x3514, 0x4801, 0x3409, 0x0008, 0x3611});
  config.blockSize = provider.ConsumeIntegralInRange<uint16_t>(0, 1100);
  config.stayInBootloader = provider.ConsumeBool();
  std::vector<FaultPlan> faults(provider.ConsumeIntegralInRange<std::size_t>(0, 2));
  for (FaultPlan& plan : faults) {
    plan = {static_cast<Fault>(provider.ConsumeIntegralInRange<int>(0, 7)),
            static_cast<PacketKind>(provider.ConsumeIntegralInRange<int>(0, 3)),
            provider.ConsumeIntegralInRange<int>(-1, 4)};
  }
  DeviceModel chunked(config, faults);
  DeviceModel bytewise(config, faults);
  std::vector<uint8_t> chunkedAnswers;
  std::vector<uint8_t> bytewiseAnswers;
  Clock::time_point now{};
  while (provider.remaining_bytes() > 0) {
    now += std::chrono::milliseconds(provider.ConsumeIntegralInRange<int>(0, 150));
    const auto chunk =
        provider.ConsumeBytes<uint8_t>(provider.ConsumeIntegralInRange<size_t>(1, 1100));
    Append(chunked.Receive(chunk, now), chunkedAnswers);
    for (const uint8_t byte : chunk) {
      Append(bytewise.Receive({&byte, 1}, now), bytewiseAnswers);
    }
  }
  Check(chunkedAnswers == bytewiseAnswers);
  Check(chunked.Packets() == bytewise.Packets() && chunked.Image() == bytewise.Image());
  Check(chunked.TimingViolations() == bytewise.TimingViolations());
  Check(chunked.ProtocolViolations() == bytewise.ProtocolViolations());
  Check(chunked.RunReceived() == bytewise.RunReceived() &&
        chunked.Vanished() == bytewise.Vanished());
  for (const std::vector<uint8_t>& packet : chunked.Packets()) {
    const bool program = packet.size() >= 3 && packet[0] == 0xB1 &&
                         packet.size() == 3u + packet[1] * 256u + packet[2] &&
                         packet.size() <= 1024;
    Check(program || (packet.size() == 1 && (packet[0] == 0xB0 || packet[0] == 0xB7)));
  }
  return 0;
}
