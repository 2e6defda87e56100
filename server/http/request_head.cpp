#include "server/http/request_head.h"

#include <algorithm>
#include <cstring>

namespace zandrel::server {
namespace {

bool IsTokenChar(char ch) {
  if (ch >= '0' && ch <= '9') return true;
  if ((ch | 0x20) >= 'a' && (ch | 0x20) <= 'z') return true;
  return std::strchr("!#$%&'*+-.^_`|~", ch) != nullptr && ch != '\0';
}

bool IsToken(std::string_view s) {
  if (s.empty()) return false;
  for (char ch : s) {
    if (!IsTokenChar(ch)) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool ParseRequestLine(std::string_view line, RequestHead& out) {
  size_t sp1 = line.find(' ');
  if (sp1 == std::string_view::npos) return false;
  size_t sp2 = line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos) return false;
  std::string_view method = line.substr(0, sp1);
  std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  std::string_view version = line.substr(sp2 + 1);
  if (!IsToken(method) || target.empty() || target[0] != '/') return false;
  for (char ch : target) {
    if (static_cast<unsigned char>(ch) <= 0x20 || ch == 0x7f) return false;
  }
  if (version.size() != 8 || version.compare(0, 5, "HTTP/") != 0 || version[6] != '.' ||
      version[5] < '0' || version[5] > '9' || version[7] < '0' || version[7] > '9') {
    return false;
  }
  out.method = method;
  out.target = target;
  out.version = version;
  return true;
}

const char* ParseField(std::string_view line, RequestHead& out) {
  if (line[0] == ' ' || line[0] == '\t') return "folded header lines are not accepted";
  size_t colon = line.find(':');
  if (colon == std::string_view::npos || !IsToken(line.substr(0, colon))) return "malformed header line";
  std::string_view value = Trim(line.substr(colon + 1));
  for (char ch : value) {
    if ((static_cast<unsigned char>(ch) < 0x20 && ch != '\t') || ch == 0x7f) return "control byte in a header";
  }
  HeaderField f{std::string(line.substr(0, colon)), std::string(value)};
  if (SameIgnoringCase(f.name, "Content-Length")) {
    const std::string* earlier = out.Find("Content-Length");
    if (earlier && *earlier != f.value) return "conflicting Content-Length fields";
  }
  out.fields.push_back(std::move(f));
  return nullptr;
}

}  // namespace

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x | 0x20);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y | 0x20);
    if (x != y) return false;
  }
  return true;
}

const std::string* RequestHead::Find(std::string_view name) const {
  for (const HeaderField& f : fields) {
    if (SameIgnoringCase(f.name, name)) return &f.value;
  }
  return nullptr;
}

std::string_view RequestHead::path() const {
  std::string_view t = target;
  return t.substr(0, t.find('?'));
}

HeadParse ParseRequestHead(std::string_view data, RequestHead& out) {
  // One walk from the first byte: each byte and each line is judged as it
  // comes, and the first fault decides. The reason therefore depends on the
  // bytes alone, never on how many of them have arrived.
  HeadParse r;
  RequestHead head;
  auto bad = [&](const char* why) {
    out = std::move(head);  // what was read before the fault, for the log
    r.state = HeadState::kBad;
    r.error = why;
    return r;
  };
  const size_t limit = std::min(data.size(), kMaxHeadBytes);
  size_t lineStart = 0;
  for (size_t i = 0; i < limit; ++i) {
    char ch = data[i];
    if (ch == '\0') return bad("NUL byte in the request head");
    if (ch == '\r') {
      if (i + 1 < limit && data[i + 1] != '\n') return bad("bare CR in the request head");
      continue;
    }
    if (ch != '\n') continue;
    if (i == 0 || data[i - 1] != '\r') return bad("bare LF in the request head");
    std::string_view line = data.substr(lineStart, i - 1 - lineStart);
    if (lineStart == 0) {
      if (!ParseRequestLine(line, head)) return bad("malformed request line");
    } else if (line.empty()) {
      out = std::move(head);
      r.state = HeadState::kComplete;
      r.length = i + 1;
      return r;
    } else if (const char* why = ParseField(line, head)) {
      return bad(why);
    }
    lineStart = i + 1;
  }
  if (data.size() >= kMaxHeadBytes) return bad("request head too long");
  return r;
}

}  // namespace zandrel::server
