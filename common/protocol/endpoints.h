// HTTP endpoints the programs post to, and the servers they use when "config.ini" names none. A path
// is appended to the configured base URL ("BugURL") or to the default server.
//
// Only names; docs/CONTRACTS.md lists who posts what to each endpoint, docs/WIRE-PROTOCOL.md the
// wire format of Ulvane's posts and kerneldump/http_request.h the details of Drummet's.
#pragma once

namespace protocol {

// ---- Ulvane's posts, through Communication.dll --------------------------------------------------------
constexpr wchar_t kInfoPath[] = L"cgi-bin-py/security_dump.cgi";   // the information post (a form)
constexpr wchar_t kArchivePath[] = L"cgi-bin/bug_report_orv.cgi";  // the crash's archive
// With the trailing slash the paths above need; "BugURL" and "BugInfoUploadURL" default to these.
constexpr wchar_t kDefaultReportServer[] = L"http://report.vemko.example/";
constexpr wchar_t kDefaultInfoServer[] = L"http://info.vemko.example/";

// ---- Drummet's kernel-dump report, through WinINet ---------------------------------------------------
constexpr wchar_t kKernelDumpReportPath[] = L"/cgi-bin/bug_report.cgi";  // after "BugURL"'s host
// Without a trailing slash: the path above brings its own.
constexpr wchar_t kKernelDumpDefaultServer[] = L"http://report.vemko.example";

}  // namespace protocol
