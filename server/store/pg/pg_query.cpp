#include "server/store/pg/pg_query.h"

#include <algorithm>
#include <charconv>

namespace zandrel::store {

bool PgResult::ok() const {
  if (!result_) return false;
  ExecStatusType s = PQresultStatus(result_.get());
  return s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK || s == PGRES_COPY_IN;
}

std::string PgResult::error() const {
  if (!result_) return "no result (out of memory or the connection is gone)";
  std::string message = PQresultErrorMessage(result_.get());
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  return message;
}

std::string PgResult::Text(int row, int col) const {
  return std::string(PQgetvalue(result_.get(), row, col),
                     static_cast<std::size_t>(PQgetlength(result_.get(), row, col)));
}

int64_t PgResult::Int(int row, int col) const {
  const char* text = PQgetvalue(result_.get(), row, col);
  int64_t v = 0;
  std::from_chars(text, text + PQgetlength(result_.get(), row, col), v);
  return v;
}

std::optional<int64_t> PgResult::OptionalInt(int row, int col) const {
  if (IsNull(row, col)) return std::nullopt;
  return Int(row, col);
}

std::optional<bool> PgResult::OptionalBool(int row, int col) const {
  if (IsNull(row, col)) return std::nullopt;
  return PQgetvalue(result_.get(), row, col)[0] == 't';
}

std::string PgResult::Bytes(int row, int col) const {
  std::size_t length = 0;
  unsigned char* bytes =
      PQunescapeBytea(reinterpret_cast<const unsigned char*>(PQgetvalue(result_.get(), row, col)), &length);
  if (bytes == nullptr) return {};
  std::string out(reinterpret_cast<const char*>(bytes), length);
  PQfreemem(bytes);
  return out;
}

uint64_t PgResult::Affected() const {
  const char* text = PQcmdTuples(result_.get());
  uint64_t v = 0;
  std::from_chars(text, text + std::char_traits<char>::length(text), v);
  return v;
}

bool PgConnection::Connect(const std::string& conninfo, std::string* error) {
  conn_.reset(PQconnectdb(conninfo.c_str()));
  if (!conn_) {
    if (error) *error = "out of memory";
    return false;
  }
  if (PQstatus(conn_.get()) != CONNECTION_OK) {
    if (error) {
      *error = PQerrorMessage(conn_.get());
      while (!error->empty() && error->back() == '\n') error->pop_back();
    }
    conn_.reset();
    return false;
  }
  PQsetClientEncoding(conn_.get(), "UTF8");
  // The server's notices ("already exists, skipping") are not for the user.
  PQsetNoticeProcessor(conn_.get(), [](void*, const char*) {}, nullptr);
  return true;
}

bool PgConnection::Exec(const std::string& sql, std::string* error) {
  if (!conn_) {
    if (error) *error = "not connected";
    return false;
  }
  PgResult result(PQexec(conn_.get(), sql.c_str()));
  if (!result && error) *error = result.error();
  return result.ok();
}

PgResult PgConnection::Query(const std::string& sql, const PgParams& params, bool binary_result) {
  if (!conn_) return PgResult();
  std::vector<const char*> values;
  std::vector<int> lengths, formats;
  for (const PgParam& p : params) {
    values.push_back(p.value ? p.value->data() : nullptr);
    lengths.push_back(p.value ? static_cast<int>(p.value->size()) : 0);
    formats.push_back(p.binary ? 1 : 0);
  }
  return PgResult(PQexecParams(conn_.get(), sql.c_str(), static_cast<int>(params.size()), nullptr, values.data(),
                               lengths.data(), formats.data(), binary_result ? 1 : 0));
}

bool PgConnection::CopyIn(const std::string& sql, const std::string& rows, std::string* error) {
  PgResult start = Query(sql);
  if (!start) {
    if (error) *error = start.error();
    return false;
  }
  constexpr std::size_t kChunk = 1 << 20;
  for (std::size_t pos = 0; pos < rows.size(); pos += kChunk) {
    int n = static_cast<int>(std::min(kChunk, rows.size() - pos));
    if (PQputCopyData(conn_.get(), rows.data() + pos, n) != 1) break;
  }
  PQputCopyEnd(conn_.get(), nullptr);
  bool ok = true;
  while (PGresult* r = PQgetResult(conn_.get())) {
    PgResult result(r);
    if (!result) {
      if (ok && error) *error = result.error();
      ok = false;
    }
  }
  return ok;
}

void CopyRow::Separate() {
  if (!first_) out_ += '\t';
  first_ = false;
}

CopyRow& CopyRow::Text(std::string_view value) {
  Separate();
  for (char c : value) {
    switch (c) {
      case '\\': out_ += "\\\\"; break;
      case '\t': out_ += "\\t"; break;
      case '\n': out_ += "\\n"; break;
      case '\r': out_ += "\\r"; break;
      default: out_ += c;
    }
  }
  return *this;
}

CopyRow& CopyRow::Null() {
  Separate();
  out_ += "\\N";
  return *this;
}

CopyRow& CopyRow::Bytes(std::string_view value) {
  Separate();
  static const char kHex[] = "0123456789abcdef";
  out_ += "\\\\x";  // bytea's hex form, its backslash escaped for COPY
  for (char c : value) {
    auto b = static_cast<unsigned char>(c);
    out_ += kHex[b >> 4];
    out_ += kHex[b & 15];
  }
  return *this;
}

std::string PgArrayLiteral(const std::vector<std::string>& items) {
  std::string out = "{";
  for (const std::string& item : items) {
    if (out.size() > 1) out += ',';
    out += '"';
    for (char c : item) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    out += '"';
  }
  return out + "}";
}

std::string PgArrayLiteral(const std::vector<int64_t>& items) {
  std::string out = "{";
  for (int64_t item : items) {
    if (out.size() > 1) out += ',';
    out += std::to_string(item);
  }
  return out + "}";
}

std::string PgContainsPattern(std::string_view fragment) {
  std::string out = "%";
  for (char c : fragment) {
    if (c == '%' || c == '_' || c == '\\') out += '\\';
    out += c;
  }
  return out + "%";
}

}  // namespace zandrel::store
