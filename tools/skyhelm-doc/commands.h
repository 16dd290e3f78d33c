// The commands of skyhelm-doc, one source file each.
#pragma once

#include <cstdio>
#include <string>

namespace skyhelm_doc {

// Exit status of every command.
inline constexpr int kExitRead = 0;        // the document was read
inline constexpr int kExitReaderFailed = 1;
inline constexpr int kExitUsage = 2;       // bad usage or an unreadable file

// Prints "skyhelm-doc: reason" on standard error and answers kExitUsage.
int UsageError(const std::string& reason);

// Opens a document named on the command line (UTF-8) for shared reading; null when it cannot.
std::FILE* OpenDocument(const char* path);

// skyhelm-doc events FILE: one JSON line per reader event, then {"ok":true} or {"error":...}.
int RunEvents(int argc, char** argv);
// skyhelm-doc tree --vocab profile|output FILE: the node tree as one JSON document.
int RunTree(int argc, char** argv);
// skyhelm-doc outputs FILE: the output tables an output configuration file yields, as JSON.
int RunOutputs(int argc, char** argv);
// skyhelm-doc summary FILE [--member GUID] [--controller GUID] [--shift-buttons N,...]: the
// profile summary a display state would build, as JSON.
int RunSummary(int argc, char** argv);
// skyhelm-doc rules FILE [--root FOLDER] [--program PATH] [--title TEXT] [--controller GUID]:
// checks a rules file (every mistake, "FILE:LINE:COLUMN: what", exit 1), prints the rules as
// understood, the profile folders and, for a program, the rule in force and what would be sent;
// then says each profile named that is not in a profile folder (the service's, or FOLDER), exit 1.
int RunRules(int argc, char** argv);

}  // namespace skyhelm_doc
