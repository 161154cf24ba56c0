// Writes a factory's year of update records into a station store, through the store's own
// commit (in transactions of 10,000), for the question benchmarks:
//   records_generate STORE COUNT [SEED]
// Six stations, three device types with two images each (and a rare hotfix image), a year
// from 2025-01-01; most units pass at once, some need a second or third attempt, a few
// attempts never start (wrong device, port busy) and one unit in a hundred has no serial
// number. Prints one serial number that it wrote, for `records --serial`.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/discovery/catalogue.h"
#include "core/records/record.h"
#include "core/records/record_store.h"

namespace {

using lumaflash::records::Record;
using lumaflash::records::RecordStore;

constexpr std::size_t kBatch = 10'000;
constexpr int64_t kYearStartMs = 1'735'689'600'000;  // 2025-01-01T00:00Z
constexpr uint16_t kTypes[] = {0x3514, 0x3409, 0x3611};

struct Generator {
  std::mt19937_64 random;
  int64_t nowMs = kYearStartMs;
  uint32_t nextSerial = 0x0A000000;
  int64_t msPerAttempt;

  int Pick(int outOf) { return static_cast<int>(random() % static_cast<uint64_t>(outOf)); }

  std::string Hex(uint64_t value, int digits) {
    std::string text(static_cast<std::size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4) {
      text[static_cast<std::size_t>(i)] = "0123456789abcdef"[value & 0xF];
    }
    return text;
  }

  Record Attempt(const std::optional<std::string>& serial, int station, int type, int image) {
    Record record;
    nowMs += 1 + Pick(static_cast<int>(2 * msPerAttempt));
    record.id = lumaflash::records::NewRecordId(nowMs).value_or("");
    record.startedAtMs = nowMs;
    record.durationMs = 5'000 + Pick(4'000);
    record.endedAtMs = nowMs + record.durationMs;
    record.station = "line-" + std::to_string(station + 1);
    record.operatorName = "operator" + std::to_string(station % 3);
    record.programVersion = "generated";
    record.port = "/dev/ttyACM" + std::to_string(Pick(4));
    record.usbVid = "1209";
    record.usbPid = "0001";
    const uint16_t deviceId = kTypes[type];
    record.deviceId = lumaflash::discovery::WordHex(deviceId);
    record.deviceName = lumaflash::discovery::LookupDeviceName(deviceId);
    record.bootloaderVersion = "0101";
    record.firmwareVersion = "0100";
    record.serial = serial;
    const std::string name =
        Hex(deviceId, 4) + (image == 2 ? "-hotfix" : "-v" + std::to_string(image + 1));
    record.imagePath = "/srv/images/" + name + ".bin";
    record.imageSha256 =
        Hex(static_cast<uint64_t>(deviceId) * 7919U + static_cast<uint64_t>(image), 16) +
        std::string(48, 'e');
    record.imageHeaderVersion = 2;
    record.imageLength = 65'536;
    record.blockCount = 128;
    record.result = "ok";
    return record;
  }

  // One unit's attempts: a failure is retried at once, up to three times in all.
  void Unit(std::vector<Record>& out) {
    const int station = Pick(6);
    const int type = Pick(3);
    // One unit in a thousand gets a hotfix image: a batch that a question finds by its path.
    const int image = Pick(1000) == 0 ? 2 : Pick(2);
    std::optional<std::string> serial;
    if (Pick(100) != 0) {
      serial = Hex(nextSerial++, 8);
      for (char& c : *serial) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      }
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
      Record record = Attempt(serial, station, type, image);
      const int roll = Pick(1000);
      if (roll < 10) {
        record.result = roll < 5 ? "wrong-device" : "port-open-failed";
        record.blockCount.reset();
      } else if (roll < 50) {
        record.result = "write-failed";
        record.failedBlock = Pick(129);
      } else if (roll < 60) {
        record.result = "interrupted";
        record.failedBlock = 1 + Pick(128);
      }
      record.status = record.result == "ok" ? std::nullopt
                                            : std::optional<std::string>("Timeout on write data !");
      const bool done = record.result == "ok";
      out.push_back(std::move(record));
      if (done) {
        return;
      }
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: records_generate STORE COUNT [SEED]\n");
    return 2;
  }
  const std::size_t count = std::strtoull(argv[2], nullptr, 10);
  auto store = RecordStore::Open(argv[1], RecordStore::Mode::Write);
  if (!store) {
    std::fprintf(stderr, "records_generate: %s\n", Describe(store.error()).c_str());
    return 1;
  }
  constexpr int64_t kYearMs = 365LL * 86'400'000;
  Generator generator{std::mt19937_64(argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1),
                      kYearStartMs, 0x0A000000, kYearMs / static_cast<int64_t>(count + 1)};
  const auto started = std::chrono::steady_clock::now();
  std::vector<Record> batch;
  std::string sample;
  std::size_t written = 0;
  while (written < count) {
    batch.clear();
    while (batch.size() < kBatch && written + batch.size() < count) {
      generator.Unit(batch);
    }
    batch.resize(std::min(batch.size(), count - written));
    if (sample.empty() && !batch.empty() && batch.back().serial) {
      sample = *batch.back().serial;
    }
    if (auto committed = (*store)->CommitAll(batch); !committed) {
      std::fprintf(stderr, "records_generate: %s\n", Describe(committed.error()).c_str());
      return 1;
    }
    written += batch.size();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("wrote %zu records in %.1f s; a serial number among them: %s\n", written, seconds,
              sample.c_str());
  return 0;
}
