// zandrel-desk: the support staff's program over a report server's data
// directory. Each command takes the words after its name on the command line
// and returns the program's exit status; main picks the command.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "server/desk/desk_db.h"
#include "server/store/report_reader.h"

namespace zandrel::desk {

// Exit statuses of every command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // nothing found, or the data cannot be read
inline constexpr int kExitUsage = 2;    // a bad option or value

// The index's file in the data directory, as the receiver keeps it.
inline constexpr char kIndexFileName[] = "index.sqlite";
// How long the desk waits for the receiver's write lock on the index.
inline constexpr int kDeskBusyTimeoutMs = 10000;

// The desk's own database (accounts, sessions, audit) when --desk-db is
// not given: in the data directory.
inline constexpr char kDeskDbFileName[] = "desk.sqlite";

struct DeskOptions {
  std::string dataDir = "./reports";
  std::string deskDb;  // empty: kDeskDbFileName in dataDir
  // A PostgreSQL store's URL (--database, or ZANDREL_DATABASE); empty: the
  // data directory's files and index.
  std::string database;
};

using Args = std::vector<std::string>;

int SearchCommand(const DeskOptions& options, const Args& args);
int ShowCommand(const DeskOptions& options, const Args& args);
int ReindexCommand(const DeskOptions& options, const Args& args);
int UserCommand(const DeskOptions& options, const Args& args);
int TokenCommand(const DeskOptions& options, const Args& args);
int ServeCommand(const DeskOptions& options, const Args& args);
int MigrateCommand(const DeskOptions& options, const Args& args);
int ImportCommand(const DeskOptions& options, const Args& args);

// How OpenReader opens a store, where a caller needs other than the
// commands' defaults.
struct ReaderSetup {
  // The embedded index's settings; count_cap also caps PostgreSQL's totals.
  store::IndexOptions index;
  std::string indexPath;  // empty: IndexPath(options)
  // Said when the index is missing; empty: how to make one.
  std::string missing;
  ReaderSetup() { index.busy_timeout_ms = kDeskBusyTimeoutMs; }
};

// The store the options name: PostgreSQL with a database URL, else the data
// directory's index (which must exist). Null with `error` when it cannot be
// opened.
std::unique_ptr<store::ReportReader> OpenReader(const DeskOptions& options, std::string& error,
                                                const ReaderSetup& setup = ReaderSetup());

// The desk's own database the options name: the PostgreSQL store's tables
// with a database URL, else the SQLite file (DeskDbPath). Null with `error`.
std::unique_ptr<DeskDb> OpenDeskDb(const DeskOptions& options, std::string& error);

// An error line "zandrel-desk: MESSAGE" on standard error; returns status.
int Complain(int status, const std::string& message);
std::string IndexPath(const DeskOptions& options);
std::string DeskDbPath(const DeskOptions& options);

}  // namespace zandrel::desk
