// Prints what one record costs the station: the median time of a local commit (WAL, synced to
// disk before it returns) into a store on the file system of TMPDIR (or /tmp), as an update
// makes it after each attempt.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/records/record.h"
#include "core/records/record_store.h"

namespace {

using Clock = std::chrono::steady_clock;
using lumaflash::records::Record;
using lumaflash::records::RecordStore;

Record SampleRecord(int index) {
  Record record;
  record.startedAtMs = lumaflash::records::EpochMs(std::chrono::system_clock::now());
  record.id = lumaflash::records::NewRecordId(record.startedAtMs).value_or("");
  record.endedAtMs = record.startedAtMs + 900;
  record.station = "bench";
  record.operatorName = "operator";
  record.programVersion = "bench";
  record.port = "/dev/ttyACM0";
  record.usbVid = "1209";
  record.usbPid = "0001";
  record.usbSerial = "U" + std::to_string(index);
  record.deviceId = "3514";
  record.deviceName = "Lumetta A";
  record.bootloaderVersion = "0101";
  record.firmwareVersion = "0100";
  record.serial = "0A1B2C01";
  record.imagePath = "/srv/images/lumetta-a.bin";
  record.imageSha256 = std::string(64, 'a');
  record.imageHeaderVersion = 1;
  record.imageLength = 32768;
  record.result = "ok";
  record.blockCount = 64;
  record.durationMs = 900;
  return record;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 500;
  const char* tmp = std::getenv("TMPDIR");
  const auto folder = std::filesystem::path(tmp != nullptr ? tmp : "/tmp") /
                      ("lumaflash-commit-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  auto opened = RecordStore::Open(folder / "records.sqlite", RecordStore::Mode::Write);
  if (!opened) {
    std::fprintf(stderr, "records_commit_bench: %s\n", opened.error().message.c_str());
    std::filesystem::remove_all(folder);
    return 1;
  }
  std::unique_ptr<RecordStore> store = std::move(*opened);
  std::vector<double> micros;
  for (int i = 0; i < count; ++i) {
    const Record record = SampleRecord(i);
    const auto start = Clock::now();
    if (auto committed = store->Commit(record); !committed) {
      std::fprintf(stderr, "records_commit_bench: %s\n", committed.error().message.c_str());
      break;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  store.reset();
  std::filesystem::remove_all(folder);
  if (micros.empty()) {
    return 1;
  }
  std::sort(micros.begin(), micros.end());
  std::printf(
      "local record commit on %s: median %.0f us, 90th percentile %.0f us, over %zu commits\n",
      folder.parent_path().c_str(), Median(micros), micros[micros.size() * 9 / 10], micros.size());
  return 0;
}
