// The command line and text output of the terminal front ends.
#pragma once
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace zandrel::platform {

// The program's arguments as UTF-8, argv[0] first. On Windows they are read
// from the wide command line, so any text arrives intact whatever the
// system's code page; elsewhere they are argv as given.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// Makes standard output and standard error usable, and Ctrl-C deliverable,
// for a program that may have been built without a console of its own: it
// attaches to the parent process's console when there is one; handles that
// were redirected are kept, the others write to that console. Nothing to do
// on POSIX.
void UseParentConsole();

// Writes UTF-8 text: to a console as characters (so it shows right on any
// display language), to a file or pipe as the UTF-8 bytes. Flushes.
void WriteText(std::FILE* out, std::string_view utf8);

// True when the stream writes to a terminal (a console on Windows), where a
// progress line may be redrawn in place.
bool IsTerminal(std::FILE* out);

// One line of standard input, without its line end (a password). When
// standard input is a terminal, prompt goes to standard error first and what
// is typed is not echoed. False when the input ends before any character.
bool ReadSecretLine(const char* prompt, std::string& line);

}  // namespace zandrel::platform
