// zandrel-desk search: one page of the index's search, as a table or as JSON
// lines.
#include <cstdio>
#include <cstdlib>
#include <variant>

#include "platform/console.h"
#include "server/desk/desk.h"
#include "server/desk/record_text.h"
#include "server/store/report_index.h"
#include "server/store/search_query.h"

namespace zandrel::desk {
namespace {

// The option's name ("--slower-than") for a search parameter ("slower_than").
std::string OptionName(std::string parameter) {
  for (char& c : parameter) {
    if (c == '_') c = '-';
  }
  return "--" + parameter;
}

// "udp speed" for the checks that failed, "-" for none.
std::string FailedChecks(const report::ReportFacts& f) {
  std::string out;
  auto add = [&](bool failed, const char* name) {
    if (!failed) return;
    if (!out.empty()) out += ' ';
    out += name;
  };
  add(f.udp_ok == false, "udp");
  add(f.speed_kbps == 0, "speed");
  add(f.service_ok == false, "service");
  add(f.channels_ok == false, "channels");
  return out.empty() ? "-" : out;
}

// Columns left for the problem text: what the terminal has beyond the other
// columns ($COLUMNS, as shells export it), at least 20; 48 when unknown.
int ProblemColumns(int used) {
  if (const char* env = std::getenv("COLUMNS")) {
    int columns = std::atoi(env);
    if (columns > 0) return std::max(20, columns - used);
  }
  return 48;
}

void PrintTable(const store::SearchPage& page) {
  struct Row {
    std::string cells[5];
    std::string problem;
  };
  std::vector<Row> rows;
  Row head{{"ID", "RECEIVED (UTC)", "SENDER", "SPEED", "FAILED"}, "PROBLEM"};
  rows.push_back(head);
  for (const store::SearchHit& hit : page.hits) {
    const store::ReportRecord& r = hit.record;
    std::string received = Rfc3339Ms(r.received).substr(0, 19);
    received[10] = ' ';
    const auto& f = r.facts;
    rows.push_back({{r.id, received, DottedIpv4(r.sender),
                     f.speed_kbps ? std::to_string(*f.speed_kbps) + " K/s" : "-", FailedChecks(f)},
                    f.problem ? TerminalSafe(*f.problem, false) : "-"});
  }
  std::size_t widths[5] = {};
  for (const Row& row : rows) {
    for (int i = 0; i < 5; ++i) widths[i] = std::max(widths[i], row.cells[i].size());
  }
  int used = 0;
  for (std::size_t w : widths) used += static_cast<int>(w) + 2;
  int problem_width = ProblemColumns(used);
  std::string out;
  for (const Row& row : rows) {
    for (int i = 0; i < 5; ++i) {
      std::string cell = row.cells[i];
      cell.resize(widths[i], ' ');
      out += cell + "  ";
    }
    out += FitColumns(row.problem, problem_width, false) + "\n";
  }
  platform::WriteText(stdout, out);
}

std::string Summary(const store::SearchPage& page) {
  std::string out = page.total ? std::to_string(*page.total) + " matched" : std::to_string(page.hits.size()) + " shown";
  if (page.total && page.hits.size() < *page.total) out += ", " + std::to_string(page.hits.size()) + " shown";
  out += page.next_cursor.empty() ? "; last page" : "; next page: --cursor " + page.next_cursor;
  return out + "\n";
}

}  // namespace

int SearchCommand(const DeskOptions& options, const Args& args) {
  store::SearchParams params;
  bool json = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i];
    if (a == "--json") {
      json = true;
      continue;
    }
    std::string value;
    if (std::size_t eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = a.substr(eq + 1);
      a.resize(eq);
    } else if (a.rfind("--", 0) == 0 && i + 1 < args.size()) {
      value = args[++i];
    } else if (a.rfind("--", 0) == 0) {
      return Complain(kExitUsage, a + " needs a value");
    } else {
      return Complain(kExitUsage, "search takes options only, not " + a);
    }
    static const char* const kOptions[] = {"--q",  "--ip",     "--mac",         "--module", "--from",
                                           "--to", "--failed", "--slower-than", "--limit",  "--cursor"};
    bool known = false;
    for (const char* o : kOptions) known = known || a == o;
    if (!known) return Complain(kExitUsage, "unknown search option " + a);
    std::string parameter = a.substr(2);
    for (char& c : parameter) {
      if (c == '-') c = '_';
    }
    params.emplace_back(parameter, value);
  }
  auto parsed = store::ParseSearchQuery(params);
  if (auto* error = std::get_if<store::QueryError>(&parsed)) {
    return Complain(kExitUsage, OptionName(error->parameter) + ": " + error->message);
  }
  const store::SearchQuery& query = std::get<store::SearchQuery>(parsed);

  std::string error;
  std::unique_ptr<store::ReportReader> reader = OpenReader(options, error);
  if (!reader) return Complain(kExitFailure, error);
  store::SearchPage page;
  if (auto s = reader->Search(query, page, true); !s) return Complain(kExitFailure, s.message);

  if (json) {
    std::string out;
    for (const store::SearchHit& hit : page.hits) out += JsonLine(RecordJson(hit.record, hit.module_count)) + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    platform::WriteText(stderr, Summary(page));
  } else {
    PrintTable(page);
    platform::WriteText(stdout, Summary(page));
  }
  return kExitOk;
}

}  // namespace zandrel::desk
