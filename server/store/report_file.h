// The name a stored report's body file has, and reading it back: the name
// carries what is known of a report besides its bytes, so that everything
// kept about it can be rebuilt from the files alone.
//   report-20261210-013012-345-000017-7K3M-QX9P-10.0.0.7-<MD5>.txt
//   (received, UTC, to the millisecond; the sequence; the id; the sender; the digest)
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zandrel::store {

struct ReportFileName {
  int64_t received = 0;  // milliseconds since 1970-01-01 UTC
  uint64_t sequence = 0;
  uint64_t id = 0;
  uint32_t sender = 0;
  std::string md5;  // 32 upper-case hex digits
};

std::string ReportFileNameText(const ReportFileName& f);
std::optional<ReportFileName> ParseReportFileName(std::string_view name);

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d);

// The space a file of size bytes takes on disk, as the store counts it:
// whole blocks of 4096 bytes, at least one.
inline uint64_t DiskBytes(uint64_t size) { return size == 0 ? 4096 : (size + 4095) / 4096 * 4096; }

}  // namespace zandrel::store

namespace zandrel::store {

struct ReportRecord;
// The record of the report stored in dir under name: what its name says
// and the facts of its bytes. False when the name is not a report's or the
// file cannot be read.
bool RecordFromFile(const std::string& dir, const std::string& name, ReportRecord& out);

}  // namespace zandrel::store
