#include "server/store/report_reader.h"

#include "platform/files.h"

namespace zandrel::store {

IndexStatus EmbeddedReportReader::Body(std::string_view id, std::optional<std::string>& body) {
  body.reset();
  std::optional<ReportRecord> record;
  if (IndexStatus s = index_.Get(id, record); !s || !record) return s;
  // One name in the directory, as the receiver writes them.
  const std::string& name = record->file;
  if (name.empty() || name == "." || name == ".." || name.find_first_of(std::string("/\\\0", 3)) != std::string::npos) {
    return IndexStatus::Failure("report " + record->id + ": its file name is not one in the data directory");
  }
  std::string bytes;
  if (!platform::ReadWholeFile(data_dir_ + "/" + record->file, bytes)) {
    return IndexStatus::Failure("report " + record->id + ": its file " + record->file + " cannot be read");
  }
  body = std::move(bytes);
  return {};
}

}  // namespace zandrel::store
