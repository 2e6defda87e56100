// zandrel-desk user / token: the accounts of the support staff and the API
// tokens of scripts, in the desk's own database.
#include <chrono>
#include <cstdio>

#include "platform/console.h"
#include "server/desk/desk.h"
#include "server/desk/desk_db.h"
#include "server/desk/record_text.h"
#include "server/desk/secrets.h"

namespace zandrel::desk {
namespace {

constexpr std::size_t kMaxNameBytes = 64;
constexpr std::size_t kMaxPasswordBytes = 1024;
constexpr std::size_t kMinPasswordBytes = 8;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Names are what people type at the login form and read in the audit log:
// letters, digits and ".-_@", 1 to 64 of them.
bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameBytes) return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
              c == '_' || c == '@';
    if (!ok) return false;
  }
  return true;
}

// The words after "user" or "token": the action, a name where it takes one,
// and --desk-db PATH anywhere.
struct Parsed {
  std::string action, name;
  DeskOptions options;
};

int Parse(const char* what, const DeskOptions& options, const Args& args, Parsed& out) {
  out.options = options;
  std::vector<std::string> words;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--desk-db") {
      if (i + 1 == args.size()) return Complain(kExitUsage, "--desk-db needs a value");
      out.options.deskDb = args[++i];
    } else if (args[i].rfind("--", 0) == 0) {
      return Complain(kExitUsage, std::string("unknown ") + what + " option " + args[i]);
    } else {
      words.push_back(args[i]);
    }
  }
  if (words.empty()) return Complain(kExitUsage, std::string(what) + " needs add, remove or list");
  out.action = words[0];
  bool needsName = out.action == "add" || out.action == "remove";
  if (!needsName && out.action != "list") {
    return Complain(kExitUsage, std::string("unknown ") + what + " action " + TerminalSafe(out.action, false));
  }
  if (words.size() != (needsName ? 2u : 1u)) {
    return Complain(kExitUsage, std::string(what) + " " + out.action + (needsName ? " takes one name" : " takes no name"));
  }
  if (needsName) {
    out.name = words[1];
    if (!ValidName(out.name)) {
      return Complain(kExitUsage, "a name is 1 to 64 letters, digits or .-_@: " + TerminalSafe(out.name, false));
    }
  }
  return kExitOk;
}

std::unique_ptr<DeskDb> Open(const DeskOptions& options) {
  std::string error;
  auto db = OpenDeskDb(options, error);
  if (!db) Complain(kExitFailure, "cannot open the desk's database: " + error);
  return db;
}

void PrintNames(const std::vector<UserInfo>& names) {
  std::string out;
  for (const UserInfo& u : names) out += u.name + "\t" + Rfc3339Ms(u.created_ms).substr(0, 19) + "Z\n";
  platform::WriteText(stdout, out);
}

}  // namespace

int UserCommand(const DeskOptions& options, const Args& args) {
  Parsed p;
  if (int status = Parse("user", options, args, p); status != kExitOk) return status;
  if (p.action == "add") {
    std::string password;
    if (!platform::ReadSecretLine("password: ", password)) return Complain(kExitUsage, "no password given");
    if (password.size() < kMinPasswordBytes || password.size() > kMaxPasswordBytes) {
      return Complain(kExitUsage, "a password is 8 to 1024 bytes");
    }
    auto hash = HashPassword(password);
    if (!hash) return Complain(kExitFailure, "cannot hash the password");
    auto db = Open(p.options);
    if (!db) return kExitFailure;
    std::string error;
    bool added = false;
    if (!db->AddUser(p.name, *hash, NowMs(), added, error)) return Complain(kExitFailure, error);
    if (!added) return Complain(kExitFailure, "user " + p.name + " exists already");
    return kExitOk;
  }
  auto db = Open(p.options);
  if (!db) return kExitFailure;
  std::string error;
  if (p.action == "remove") {
    bool removed = false;
    if (!db->RemoveUser(p.name, removed, error)) return Complain(kExitFailure, error);
    return removed ? kExitOk : Complain(kExitFailure, "no user " + p.name);
  }
  std::vector<UserInfo> users;
  if (!db->ListUsers(users, error)) return Complain(kExitFailure, error);
  PrintNames(users);
  return kExitOk;
}

int TokenCommand(const DeskOptions& options, const Args& args) {
  Parsed p;
  if (int status = Parse("token", options, args, p); status != kExitOk) return status;
  auto db = Open(p.options);
  if (!db) return kExitFailure;
  std::string error;
  if (p.action == "add") {
    std::string token = RandomHex(20);  // 160 bits
    if (token.empty()) return Complain(kExitFailure, "cannot make a random token");
    bool added = false;
    if (!db->AddToken(p.name, Sha256Hex(token), NowMs(), added, error)) return Complain(kExitFailure, error);
    if (!added) return Complain(kExitFailure, "token " + p.name + " exists already");
    platform::WriteText(stdout, token + "\n");
    return kExitOk;
  }
  if (p.action == "remove") {
    bool removed = false;
    if (!db->RemoveToken(p.name, removed, error)) return Complain(kExitFailure, error);
    return removed ? kExitOk : Complain(kExitFailure, "no token " + p.name);
  }
  std::vector<UserInfo> tokens;
  if (!db->ListTokens(tokens, error)) return Complain(kExitFailure, error);
  PrintNames(tokens);
  return kExitOk;
}

}  // namespace zandrel::desk
