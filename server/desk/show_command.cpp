// zandrel-desk show: one stored report, decoded for people or as its exact
// bytes. The index says which file holds it; a report it does not know yet
// (stored while the index was behind, or without an index at all) is found
// by the names of the files.
#include <cstdio>
#include <filesystem>
#include <optional>

#include "platform/console.h"
#include "platform/files.h"
#include "platform/gbk.h"
#include "platform/store.h"
#include "server/desk/desk.h"
#include "server/desk/record_text.h"
#include "server/store/report_file.h"
#include "server/store/report_id.h"
#include "server/store/report_index.h"

namespace zandrel::desk {
namespace {

struct Found {
  std::string id, file, md5;
  int64_t received = 0;
  uint32_t sender = 0;
};

// From the index: nullopt when there is no index or no row for the id.
std::optional<Found> FromIndex(const DeskOptions& options, const std::string& id, std::string& error) {
  std::string path = IndexPath(options);
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return std::nullopt;
  store::ReportIndex index;
  store::IndexOptions index_options;
  index_options.busy_timeout_ms = kDeskBusyTimeoutMs;
  std::optional<store::ReportRecord> record;
  if (auto s = index.Open(path, index_options); !s) {
    error = s.message;
    return std::nullopt;
  }
  if (auto s = index.Get(id, record); !s) {
    error = s.message;
    return std::nullopt;
  }
  if (!record) return std::nullopt;
  return Found{record->id, record->file, record->md5, record->received, record->sender};
}

// From the file names of the data directory.
std::optional<Found> FromFileNames(const DeskOptions& options, uint64_t id) {
  std::vector<platform::DirectoryEntry> entries;
  if (!platform::ListDirectory(options.dataDir, entries)) return std::nullopt;
  for (const platform::DirectoryEntry& e : entries) {
    if (!e.regular) continue;
    auto name = store::ParseReportFileName(e.name);
    if (name && name->id == id) return Found{store::ReportIdText(id), e.name, name->md5, name->received, name->sender};
  }
  return std::nullopt;
}

// Writes the report: its exact bytes, or its record and text for people.
int Print(const Found& found, const std::string& body, bool raw) {
  if (raw) {
    std::fwrite(body.data(), 1, body.size(), stdout);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? kExitOk : Complain(kExitFailure, "cannot write");
  }
  std::string out = "id:       " + found.id + "\nreceived: " + Rfc3339Ms(found.received) +
                    "\nsender:   " + DottedIpv4(found.sender) + "\nsize:     " + std::to_string(body.size()) +
                    "\nmd5:      " + found.md5 + (found.file.empty() ? "" : "\nfile:     " + found.file) + "\n\n";
  out += TerminalSafe(platform::GbkToUtf8(body), true);
  if (!out.empty() && out.back() != '\n') out += '\n';
  platform::WriteText(stdout, out);
  return kExitOk;
}

// The report's record and its bytes from the PostgreSQL store.
int ShowFromDatabase(const DeskOptions& options, const std::string& id, bool raw) {
  std::string error;
  std::unique_ptr<store::ReportReader> reader = OpenReader(options, error);
  if (!reader) return Complain(kExitFailure, error);
  std::optional<store::ReportRecord> record;
  if (auto s = reader->Get(id, record); !s) return Complain(kExitFailure, s.message);
  std::optional<std::string> body;
  if (record) {
    if (auto s = reader->Body(id, body); !s) return Complain(kExitFailure, s.message);
  }
  if (!record || !body) return Complain(kExitFailure, "no report " + id + " in the database");
  return Print(Found{record->id, record->file, record->md5, record->received, record->sender}, *body, raw);
}

}  // namespace

int ShowCommand(const DeskOptions& options, const Args& args) {
  bool raw = false;
  std::optional<std::string> id_text;
  for (const std::string& a : args) {
    if (a == "--raw") {
      raw = true;
    } else if (a.rfind("--", 0) == 0) {
      return Complain(kExitUsage, "unknown show option " + a);
    } else if (id_text) {
      return Complain(kExitUsage, "show takes one report id");
    } else {
      id_text = a;
    }
  }
  if (!id_text) return Complain(kExitUsage, "show needs a report id (like 7K3M-QX9P)");
  std::optional<uint64_t> id = store::ParseReportId(*id_text);
  if (!id) return Complain(kExitUsage, "not a report id: " + TerminalSafe(*id_text, false));
  std::string canonical = store::ReportIdText(*id);

  if (!options.database.empty()) return ShowFromDatabase(options, canonical, raw);
  std::string index_error;
  std::optional<Found> found = FromIndex(options, canonical, index_error);
  if (!found) found = FromFileNames(options, *id);
  if (!found) {
    std::string message = "no report " + canonical + " in " + options.dataDir;
    if (!index_error.empty()) message += " (the index could not be read: " + index_error + ")";
    return Complain(kExitFailure, message);
  }
  std::string body;
  if (!platform::ReadWholeFile(options.dataDir + "/" + found->file, body)) {
    return Complain(kExitFailure, "report " + canonical + ": its file " + found->file + " cannot be read");
  }
  return Print(*found, body, raw);
}

}  // namespace zandrel::desk
