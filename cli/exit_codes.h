#pragma once

namespace lumaflash::cli {

// The command line's exit codes. Scripts depend on them: never renumber, only add.
enum ExitCode : int {
  kExitOk = 0,
  kExitFailure = 1,         // anything not listed below
  kExitUsage = 2,           // bad command line
  kExitImageUnusable = 3,   // image cannot be read, is truncated or too large
  kExitNoInterface = 4,     // no matching interface answered
  kExitAmbiguous = 5,       // several interfaces answered and none was chosen
  kExitWrongDevice = 6,     // the image is for another device type
  kExitNotUpdatable = 7,    // bootloader version or block size the program cannot serve
  kExitPortOpenFailed = 8,  // the port could not be opened (busy, no permission, gone)
  kExitTransferFailed = 9,  // the device did not acknowledge, went silent or vanished
  kExitInterrupted = 10,    // stopped by Ctrl+C during an update
  kExitSomeFailed = 11,     // --all: at least one device failed, the others succeeded
  kExitRecordNotKept = 12,  // --require-record: the record store cannot be opened or written
};

}  // namespace lumaflash::cli
