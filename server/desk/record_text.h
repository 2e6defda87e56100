// A report's record as people and scripts read it: JSON with the record's
// field names, times in RFC 3339, and report texts made safe for a terminal.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "server/store/report_record.h"

namespace zandrel::desk {

// "2024-05-01T08:00:00.123Z"
std::string Rfc3339Ms(int64_t ms);
// "10.0.0.7"
std::string DottedIpv4(uint32_t address);

// The record as one JSON object (fields in a fixed order); absent facts are
// null. The module list is left out: module_count stands for it.
nlohmann::ordered_json RecordJson(const store::ReportRecord& record, uint32_t module_count);
// One line of JSON: every text escaped, bytes that are not UTF-8 replaced.
std::string JsonLine(const nlohmann::ordered_json& value);

// Report text (UTF-8, written by anybody) fit for a terminal: control
// characters, C1 controls and bidirectional overrides become U+FFFD, so that
// a report cannot move the cursor, recolour or reorder what is shown. With
// keep_lines, "\n" and "\t" stay and "\r\n" becomes "\n"; without, each of
// them becomes a space.
std::string TerminalSafe(std::string_view utf8, bool keep_lines);

// Columns a UTF-8 text takes on a terminal: East Asian wide characters two,
// others one.
int DisplayWidth(std::string_view utf8);
// The text cut to at most width columns, ending in "…" when cut, then padded
// with spaces to width when pad is set.
std::string FitColumns(std::string_view utf8, int width, bool pad);

}  // namespace zandrel::desk
