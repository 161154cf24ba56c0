#include "core/protocol/device_types.h"

#include <array>

namespace lumaflash::protocol {

namespace {

using std::chrono::milliseconds;
constexpr milliseconds kSafePause{100};

constexpr std::array kDeviceTypes{
    DeviceType{0x0351, "Quillon Alpha", kSafePause, ReplyLayout::Basic},
    DeviceType{0x0432, "Quillon Beta", kSafePause, ReplyLayout::Basic},
    DeviceType{0x0481, "Aerol Gamma Pro", kSafePause, ReplyLayout::SixByteSerial},
    DeviceType{0x0795, "Quillon Delta", milliseconds(10), ReplyLayout::PrefixedSerial},
    DeviceType{0x3514, "Lumetta A", milliseconds(10), ReplyLayout::PrefixedSerial},
    DeviceType{0x3409, "Lumetta B", kSafePause, ReplyLayout::Basic},
    DeviceType{0x3509, "Lumetta BX", kSafePause, ReplyLayout::Basic},
    DeviceType{0x3600, "Tessel One", kSafePause, ReplyLayout::Basic},
    DeviceType{0x3602, "Tessel Two", kSafePause, ReplyLayout::Basic},
    DeviceType{0x3603, "Tessel Three", milliseconds(10), ReplyLayout::Basic},
    DeviceType{0x3611, "Tessel Four", milliseconds(5), ReplyLayout::Basic},
    DeviceType{0x3618, "Tessel Five", kSafePause, ReplyLayout::Basic},
    DeviceType{0x3690, "Borella", milliseconds(10), ReplyLayout::PrefixedSerial},
    DeviceType{0x3711, "Lumetta C", milliseconds(10), ReplyLayout::PrefixedSerial},
    DeviceType{0x4801, "Aerol Gamma", kSafePause, ReplyLayout::SixByteSerial},
    DeviceType{0x0004, "Norrix Q", kSafePause, ReplyLayout::Basic},
    DeviceType{0x0005, "Norrix P1", kSafePause, ReplyLayout::Basic},
    DeviceType{0x0006, "Norrix N", kSafePause, ReplyLayout::Basic},
    DeviceType{0x0008, "Norrix P2", milliseconds(20), ReplyLayout::Basic},
};

}  // namespace

std::span<const DeviceType> DeviceTypes() {
  return kDeviceTypes;
}

const DeviceType* FindDeviceType(uint16_t deviceId) {
  for (const DeviceType& type : kDeviceTypes) {
    if (type.deviceId == deviceId) {
      return &type;
    }
  }
  return nullptr;
}

const char* DeviceName(uint16_t deviceId) {
  const DeviceType* type = FindDeviceType(deviceId);
  return type != nullptr ? type->name : "Unknown device";
}

std::chrono::milliseconds BlockPause(uint16_t deviceId) {
  const DeviceType* type = FindDeviceType(deviceId);
  return type != nullptr ? type->blockPause : kSafePause;
}

ReplyLayout ReplyLayoutOf(uint16_t deviceId) {
  const DeviceType* type = FindDeviceType(deviceId);
  return type != nullptr ? type->replyLayout : ReplyLayout::Basic;
}

}  // namespace lumaflash::protocol
