// HTTP endpoints the programs post to, and the servers they use when "config.ini" names none. A path
// is appended to the configured base URL ("BugURL") or to the default server.
//
// Only names; docs/CONTRACTS.md lists who posts what to each endpoint, docs/WIRE-PROTOCOL.md the
// wire format of Ulvane's posts and kerneldump/http_request.h the details of Drummet's.
#pragma once

namespace protocol {

// ---- Ulvane's posts, through Communication.dll --------------------------------------------------------
// (the information post, the archive post and Ulvane's default server belong here)

// ---- Drummet's kernel-dump report, through WinINet ---------------------------------------------------
constexpr wchar_t kKernelDumpReportPath[] = L"/cgi-bin/bug_report.cgi";  // after "BugURL"'s host
// Without a trailing slash: the path above brings its own.
constexpr wchar_t kKernelDumpDefaultServer[] = L"http://report.vemko.example";

}  // namespace protocol
