#include "sim/options.h"

#include <cstdlib>
#include <string_view>
#include <utility>

namespace lumaflash::sim {

namespace {

using platform::AppendValue;
using platform::OptionSpec;
using platform::StoreValue;
using platform::UsageError;

constexpr OptionSpec kOptions[] = {
    {"--count", "N", false, "serve N devices, 1 to 99 (default 1)"},
    {"--mix", "", false, "a mix of device types and reply layouts"},
    {"--type", "HEX", true, "device type (repeat to cycle through several; default 3514)"},
    {"--bootloader", "HEX", false, "the bootloader version every device reports"},
    {"--firmware", "HEX", false, "the firmware version every device reports"},
    {"--block-size", "N", false, "the block size every device reports"},
    {"--stay", "", false, "stay in bootloader mode after the run packet"},
    {"--fault", "KIND:PACKET[:INDEX]", true,
     "misbehave at packet INDEX of that kind (counted from 0), or at every such packet without "
     "INDEX; KIND is silent, wrong-ack, late-ack, double-ack, short, overlong or vanish; PACKET "
     "is identify, start, block or run"},
    {"--tty", "PATH", false,
     "serve one device on this existing tty (raw mode) instead, e.g. the port of a USB serial "
     "gadget (/dev/ttyGS0); it ends if the tty hangs up"},
    {"--help", "", false, ""},
    {"-h", "", false, ""},
    {"--version", "", false, ""},
};

Unexpected<UsageError> Refuse(std::string text) {
  return MakeUnexpected(UsageError{std::move(text)});
}

std::optional<unsigned long> Number(std::string_view text, int base) {
  std::string copy(text);
  char* end = nullptr;
  unsigned long value = std::strtoul(copy.c_str(), &end, base);
  if (copy.empty() || *end != '\0') {
    return std::nullopt;
  }
  return value;
}

std::optional<Fault> ParseFaultKind(std::string_view kind) {
  constexpr std::pair<std::string_view, Fault> kKinds[] = {
      {"silent", Fault::Silent},    {"wrong-ack", Fault::WrongAck},
      {"late-ack", Fault::LateAck}, {"double-ack", Fault::DoubleAck},
      {"short", Fault::Short},      {"overlong", Fault::Overlong},
      {"vanish", Fault::Vanish}};
  for (const auto& [name, fault] : kKinds) {
    if (kind == name) {
      return fault;
    }
  }
  return std::nullopt;
}

std::optional<PacketKind> ParsePacketKind(std::string_view packet) {
  constexpr std::pair<std::string_view, PacketKind> kPackets[] = {
      {"identify", PacketKind::Identify},
      {"start", PacketKind::Start},
      {"block", PacketKind::Block},
      {"run", PacketKind::Run}};
  for (const auto& [name, kind] : kPackets) {
    if (packet == name) {
      return kind;
    }
  }
  return std::nullopt;
}

std::optional<FaultPlan> ParseFault(std::string_view text) {
  std::size_t first = text.find(':');
  if (first == std::string_view::npos) {
    return std::nullopt;
  }
  std::size_t second = text.find(':', first + 1);
  auto fault = ParseFaultKind(text.substr(0, first));
  auto packet = ParsePacketKind(text.substr(first + 1, second - first - 1));
  if (!fault || !packet) {
    return std::nullopt;
  }
  FaultPlan plan{*fault, *packet, -1};
  if (second != std::string_view::npos) {
    auto index = Number(text.substr(second + 1), 10);
    if (!index) {
      return std::nullopt;
    }
    plan.index = static_cast<int>(*index);
  }
  return plan;
}

Unexpected<UsageError> NoValue(std::string_view name, std::string_view text) {
  return Refuse("\"" + std::string(text) + "\" is no value for " + std::string(name));
}

Expected<int, UsageError> CountValue(std::string_view name, std::string_view text) {
  const auto count = Number(text, 10);
  if (!count || *count < 1 || *count > 99) {
    return NoValue(name, text);
  }
  return static_cast<int>(*count);
}

// A 16-bit word in `base`: a device type, a version, a block size.
Expected<uint16_t, UsageError> WordValue(std::string_view name, std::string_view text, int base) {
  const auto word = Number(text, base);
  if (!word || *word > 0xFFFF) {
    return NoValue(name, text);
  }
  return static_cast<uint16_t>(*word);
}

Expected<FaultPlan, UsageError> FaultValue(std::string_view name, std::string_view text) {
  if (auto plan = ParseFault(text)) {
    return *plan;
  }
  return NoValue(name, text);
}

// Stores one option's value, or says that it is none for the option.
Expected<void, UsageError> Store(std::string_view name, std::string_view value, Options& options) {
  if (name == "--tty") {
    return StoreValue(platform::TextValue(name, value), options.tty);
  }
  if (name == "--count") {
    return StoreValue(CountValue(name, value), options.count);
  }
  if (name == "--type") {
    return AppendValue(WordValue(name, value, 16), options.types);
  }
  if (name == "--bootloader" || name == "--firmware") {
    return StoreValue(WordValue(name, value, 16),
                      name == "--bootloader" ? options.bootloader : options.firmware);
  }
  if (name == "--block-size") {
    return StoreValue(WordValue(name, value, 10), options.blockSize);
  }
  return AppendValue(FaultValue(name, value), options.faults);
}

Expected<void, UsageError> StoreFlag(std::string_view name, Options& options) {
  if (name == "--help" || name == "-h") {
    options.help = true;
    return Refuse({});  // nothing after it matters
  }
  (name == "--mix" ? options.mix : (name == "--stay" ? options.stay : options.version)) = true;
  return {};
}

}  // namespace

Expected<Options, UsageError> ParseOptions(const std::vector<std::string>& args) {
  using Reason = platform::CommandLineStop::Reason;
  Options options;
  const auto stop = platform::WalkCommandLine(
      args, kOptions,
      [&options](const OptionSpec& option, std::string_view value) {
        return option.value.empty() ? StoreFlag(option.name, options)
                                    : Store(option.name, value, options);
      },
      [](std::string_view operand) { return Refuse("unknown option " + std::string(operand)); });
  if (options.help) {
    return options;
  }
  if (stop) {
    return Refuse(stop->reason == Reason::UnknownOption  ? "unknown option " + stop->word
                  : stop->reason == Reason::MissingValue ? stop->word + " needs a value"
                                                         : stop->refused.text);
  }
  if (!options.tty.empty() && options.count != 1) {
    return Refuse("--tty serves one device; --count does not go with it");
  }
  return options;
}

std::string Usage() {
  const std::span<const OptionSpec> run(kOptions, std::size(kOptions) - 3);  // without help
  return "usage: " + platform::Synopsis("lumaflash-sim", run, {}, 7) +
         "\n       lumaflash-sim --help | --version\n\n" +
         platform::Wrapped(
             "Serves N simulated devices (default 1) on pseudo-terminals and prints one line per "
             "device: its port path, device type and serial number. Runs until SIGINT or "
             "SIGTERM, then prints per device: packets, blocks, payload bytes, timing "
             "violations and the SHA-256 of the payload received.",
             0) +
         "\n\noptions:\n" + platform::OptionList(run) +
         platform::OptionEntry("-h, --help", "show this help") +
         platform::OptionEntry("--version", "print the program's version");
}

}  // namespace lumaflash::sim
