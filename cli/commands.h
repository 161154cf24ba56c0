#pragma once

#include <cstdio>

#include <string>
#include <vector>
#include "cli/json.h"
#include "cli/options.h"

#include "core/platform/expected.h"
#include "core/platform/time_zone.h"
#include "core/protocol/interface_table.h"
#include "core/records/recorder.h"
#include "core/serial/port.h"

namespace lumaflash::cli {

int RunScan(const Options& options);
int RunFlash(const Options& options);
int RunInfo(const Options& options);
int RunPorts(const Options& options);
int RunRecords(const Options& options);
int RunUdevRule(const Options& options);
// `records sync` (forwards what waits in the local store to the server) and `records export`
// (writes a copy of the store).
int RunRecordsWord(const Options& options, const records::RecordsConfig& config);
// `records --rejected`: the records a server refused for good.
int RunRejected(const Options& options, const records::RecordsConfig& config);
// Says that no records server is named and how to name one; the exit code of that usage error.
int TellNoRecordsServer();
// `records serve`: the records as a live read-only web page, until Ctrl+C or SIGTERM.
int RunRecordsServe(const Options& options);
// The zone the records' days are counted in: --tz, or this machine's. When it cannot be had,
// says why on standard error and gives the exit code (a usage error for a --tz mistake).
Expected<platform::TimeZone, int> ZoneOfDays(const Options& options);
// Refuses a records server URI that the program will not use (a password, an unknown key, less
// than verified TLS towards another host) with the reason, as a usage error, before anything is
// sent; kExitOk when `uri` is empty or usable.
int RefuseUnusableServer(const std::string& uri);

// The found interfaces as a table, one row each, with the list's texts.
void PrintInterfaceTable(std::FILE* out, const protocol::InterfaceTable& table);

// Tells on standard error why each port the caller named could not be opened.
void ReportPortFailures(const std::vector<serial::PortFailure>& failures);

// The found interfaces as a JSON array, one object each.
std::string InterfacesJson(const protocol::InterfaceTable& table);

// A port's USB identity as a JSON object (vid, pid, manufacturer, product, serial, interface),
// or null.
Json UsbJson(const std::optional<serial::UsbIdentity>& usb);

// "1209:0001", or "-" for a port with no USB identity.
std::string UsbColumn(const std::optional<serial::UsbIdentity>& usb);

}  // namespace lumaflash::cli
