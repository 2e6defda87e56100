#include "pg_server.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "command.h"

namespace testsupport {
namespace {

constexpr int kPort = 5433;  // only names the socket file in our directory

// The directory of initdb and pg_ctl: PATH's, else Debian's versioned one.
std::string PostgresBin() {
  if (RunCommand("command -v initdb >/dev/null 2>&1 && command -v pg_ctl >/dev/null 2>&1").exitCode == 0) return "";
  for (const char* dir : {"/usr/lib/postgresql/17/bin/", "/usr/lib/postgresql/16/bin/", "/usr/lib/postgresql/15/bin/"}) {
    if (std::filesystem::exists(std::string(dir) + "initdb")) return dir;
  }
  return "";
}

}  // namespace

PgServer::PgServer() : dir_(std::make_unique<TempDir>("zandrel-pg")), bin_(PostgresBin()) {}

PgServer::~PgServer() { Stop(); }

std::string PgServer::AsOwner(const std::string& command) const {
  if (geteuid() != 0) return command;
  return "runuser -u postgres -- sh -c '" + command + "'";
}

bool PgServer::Start() {
  const std::string& dir = dir_->path();
  if (geteuid() == 0 && RunCommand("chown postgres '" + dir + "'").exitCode != 0) {
    why_ = "cannot give " + dir + " to the postgres user";
    return false;
  }
  CommandResult init = RunCommand(AsOwner(bin_ + "initdb -D " + dir + "/data -U postgres -A trust -E UTF8 "
                                          "--locale=C.UTF-8 --no-sync") + " 2>&1");
  if (init.exitCode != 0) {
    why_ = "initdb failed: " + init.out;
    return false;
  }
  CommandResult start = RunCommand(AsOwner(bin_ + "pg_ctl -D " + dir + "/data -l " + dir + "/log -w -t 60 -o \"-k " +
                                           dir + " -p " + std::to_string(kPort) +
                                           " -c listen_addresses= -c fsync=off -c full_page_writes=off\" start") +
                                   " 2>&1");
  if (start.exitCode != 0) {
    why_ = "pg_ctl start failed: " + start.out;
    return false;
  }
  running_ = true;
  return true;
}

void PgServer::Stop() {
  if (!running_) return;
  RunCommand(AsOwner(bin_ + "pg_ctl -D " + dir_->path() + "/data -m immediate -w stop") + " >/dev/null 2>&1");
  running_ = false;
}

std::string PgServer::Url(const std::string& database) const {
  return "postgresql://postgres@/" + database + "?host=" + dir_->path() + "&port=" + std::to_string(kPort);
}

std::string PgServer::CreateDatabase(const std::string& name) {
  RunCommand("psql -q -X '" + Url("postgres") + "' -c 'CREATE DATABASE \"" + name + "\"' >/dev/null 2>&1");
  return Url(name);
}

}  // namespace testsupport
