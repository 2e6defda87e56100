// zandrel-desk: the support staff's program over the report server's data
// directory: zandrel-desk [--data-dir DIR] COMMAND [options].
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/console.h"
#include "server/desk/desk.h"

namespace {

const char kUsage[] =
    "usage: zandrel-desk [--data-dir DIR | --database URL] COMMAND [options]\n"
    "  --data-dir DIR   the report server's data directory (default ./reports)\n"
    "  --desk-db PATH   the desk's own database of accounts, sessions and audit (default DIR/desk.sqlite)\n"
    "  --database URL   the PostgreSQL store, postgresql://USER@HOST[:PORT]/DB (or ZANDREL_DATABASE);\n"
    "                   reports, accounts, sessions and audit are then read and kept there\n"
    "  --help           this text\n"
    "  --version        print the version\n"
    "commands:\n"
    "  search [filters] [--json]   stored reports matching every filter given, newest first\n"
    "    --q TEXT            words of the problem text (Chinese of one character or more)\n"
    "    --ip A              sender or adapter address, or a CIDR block (10.0.0.0/8)\n"
    "    --mac M             an adapter's hardware address (02-5a-64-72-65-6c, 02:5A:..., 025a...)\n"
    "    --module F          a loaded file by name (d3d9.dll) or a fragment of its path\n"
    "    --from T, --to T    received from/to: RFC 3339 date-time or date (a date is the whole UTC day)\n"
    "    --failed LIST       checks that failed, comma-separated: udp, speed, service, channels\n"
    "    --slower-than K     download speed measured and below K K/s\n"
    "    --limit N           rows per page, 1 to 500 (default 50)\n"
    "    --cursor C          the next page, as the previous page's last line gives it\n"
    "    --json              one JSON object per report; the count and cursor on standard error\n"
    "  show [--raw] ID        one report decoded to UTF-8 with its record; --raw: its exact bytes\n"
    "  reindex                add every report file the index lacks, drop rows whose file is gone\n"
    "  serve [options]        the web pages and the API for support staff, until SIGTERM or SIGINT\n"
    "    --listen ADDR:PORT   where to listen (default 127.0.0.1:8080)\n"
    "    --secure-cookies     mark the session cookie Secure (behind a TLS proxy)\n"
    "    --time-zone ZONE     show times in this IANA zone (default: the browser's)\n"
    "    --trusted-proxy CIDR take the client's address from X-Forwarded-For when the peer is here (repeatable)\n"
    "    --quiet              no log lines\n"
    "  user add NAME          add a person who may sign in; the password is the first line of standard input\n"
    "  user remove NAME       remove them; their sessions end at once\n"
    "  user list              the people who may sign in\n"
    "  token add NAME         make an API token (Authorization: Bearer TOKEN), printed once\n"
    "  token remove NAME      revoke it\n"
    "  token list             the tokens' names\n"
    "  migrate                create or upgrade the PostgreSQL store's schema (with --database)\n"
    "  import                 copy the --data-dir's reports into the --database store, ids kept, and\n"
    "                         the desk's accounts, tokens and audit log; run again after an interruption\n"
    "exit status: 0 done, 1 not found or the data cannot be read, 2 a bad option or value\n";

struct Command {
  const char* name;
  int (*run)(const zandrel::desk::DeskOptions&, const zandrel::desk::Args&);
};

const Command kCommands[] = {
    {"search", zandrel::desk::SearchCommand},
    {"show", zandrel::desk::ShowCommand},
    {"reindex", zandrel::desk::ReindexCommand},
    {"serve", zandrel::desk::ServeCommand},
    {"user", zandrel::desk::UserCommand},
    {"token", zandrel::desk::TokenCommand},
    {"migrate", zandrel::desk::MigrateCommand},
    {"import", zandrel::desk::ImportCommand},
};

int UsageError(const std::string& message) {
  zandrel::platform::WriteText(stderr, "zandrel-desk: " + message + "\n" + kUsage);
  return zandrel::desk::kExitUsage;
}

}  // namespace

namespace zandrel::desk {

int Complain(int status, const std::string& message) {
  platform::WriteText(stderr, "zandrel-desk: " + message + "\n");
  return status;
}

}  // namespace zandrel::desk

int main(int argc, char** argv) {
  std::vector<std::string> args = zandrel::platform::CommandLineArguments(argc, argv);
  zandrel::desk::DeskOptions options;
  if (const char* url = std::getenv("ZANDREL_DATABASE")) options.database = url;
  std::size_t i = 1;
  for (; i < args.size() && args[i].rfind("-", 0) == 0; ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--version") {
      std::printf("zandrel-desk %s\n", ZANDREL_VERSION);
      return 0;
    }
    if (a == "--data-dir") {
      if (i + 1 == args.size()) return UsageError("--data-dir needs a value");
      options.dataDir = args[++i];
    } else if (a == "--desk-db") {
      if (i + 1 == args.size()) return UsageError("--desk-db needs a value");
      options.deskDb = args[++i];
    } else if (a == "--database") {
      if (i + 1 == args.size()) return UsageError("--database needs a value");
      options.database = args[++i];
    } else {
      return UsageError("unknown option " + a);
    }
  }
  if (i == args.size()) return UsageError("no command given");
  for (const Command& command : kCommands) {
    if (args[i] != command.name) continue;
    zandrel::desk::Args rest(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
    for (const std::string& a : rest) {
      if (a == "--help" || a == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
      }
    }
    return command.run(options, rest);
  }
  return UsageError("unknown command " + args[i]);
}
