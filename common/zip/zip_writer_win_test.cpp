// The public API on Windows: every target and source kind, the header rules, times and bad input.
// Archives are left in ZIP_ARCHIVE_DIR (a temporary folder when unset) with manifest.txt naming each
// entry's expected contents, so that readers on the host can check them too.
#include <windows.h>

#include <dbghelp.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "common/scoped_handle_win.h"
#include "common/testing/test_support_win.h"
#include "common/zip/zip_io_win.h"
#include "common/zip/zip_test_reader.h"
#include "common/zip/zip_writer.h"

namespace zip {
namespace {

typedef std::vector<uint8_t> Bytes;
using suite::ScopedFile;
using suite::ScopedKernelObject;
using testing::ReadArchive;
using testing::ReadEntry;

std::wstring Dir() {
  static std::wstring dir;
  if (dir.empty()) {
    wchar_t buf[MAX_PATH];
    if (GetEnvironmentVariableW(L"ZIP_ARCHIVE_DIR", buf, MAX_PATH)) {
      dir = buf;
    } else {
      dir = suite::testing::TempPath(L"zip_win_test_" + std::to_wstring(GetCurrentProcessId()));
    }
    CreateDirectoryW(dir.c_str(), nullptr);
    CreateDirectoryW((dir + L"\\src").c_str(), nullptr);
    DeleteFileW((dir + L"\\manifest.txt").c_str());
  }
  return dir;
}
std::wstring PathOf(const std::wstring& name) { return Dir() + L"\\" + name; }
std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

void WriteBytes(const std::wstring& path, const Bytes& b) {
  ASSERT_TRUE(suite::testing::WriteFileBytes(path, b.data(), b.size()));
}

Bytes ReadBytes(const std::wstring& path) {
  const std::string bytes = suite::testing::ReadFileBytes(path);
  return Bytes(bytes.begin(), bytes.end());
}

// manifest.txt: "<archive>\t<entry name>\t<file under src\ with the expected bytes>" per line.
void Expect(const std::wstring& archive, const std::string& entry, const std::wstring& source) {
  std::ofstream m(Narrow(PathOf(L"manifest.txt")), std::ios::app | std::ios::binary);
  m << Narrow(archive) << '\t' << entry << '\t' << Narrow(source) << '\n';
}

// A source file under src\ with its expected contents.
std::wstring Source(const std::wstring& name, const Bytes& b) {
  std::wstring path = PathOf(L"src\\" + name);
  WriteBytes(path, b);
  return path;
}

Bytes Random(size_t n, unsigned seed) { return testing::RandomBytes(n, seed); }

// A report-like UTF-16LE text with its byte order mark.
Bytes Utf16Report(size_t lines) {
  Bytes b = {0xFF, 0xFE};
  std::mt19937 rng(7);
  for (size_t i = 0; i < lines; ++i) {
    std::string line = "Frame " + std::to_string(i % 50) + ": module.dll+0x" +
                       std::to_string(rng() % 100000) + " (thread " + std::to_string(rng() % 8) + ")\r\n";
    for (char c : line) b.push_back(uint8_t(c)), b.push_back(0);
  }
  return b;
}

// A real minidump, written by DbgHelp, of a child copy of this program that waits to be dumped.
// Wine's minidump writer fails to set up symbol handling for a live child by itself (and dumping
// the calling process hangs), so the process is registered with SymInitializeW first, as the
// reporter's own stack walk does.
const wchar_t kChildEvent[] = L"ZIP_TEST_CHILD_EVENT";
TEST(ZipChild, WaitsToBeDumped) {
  wchar_t name[64];
  if (!GetEnvironmentVariableW(kChildEvent, name, 64)) return;  // only in the child
  ScopedKernelObject ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, name));
  if (ready) SetEvent(ready.get());
  Sleep(120000);
}

std::wstring Minidump() {
  static std::wstring path;
  if (!path.empty()) return path;
  path = PathOf(L"src\\child.dmp");
  std::wstring event_name = L"zip_test_child_" + std::to_wstring(GetCurrentProcessId());
  ScopedKernelObject ready(CreateEventW(nullptr, TRUE, FALSE, event_name.c_str()));
  SetEnvironmentVariableW(kChildEvent, event_name.c_str());
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  DWORD childId = 0;
  ScopedKernelObject child = suite::testing::StartProcess(
      L"\"" + std::wstring(exe) + L"\" --gtest_filter=ZipChild.*", &childId, exe);
  SetEnvironmentVariableW(kChildEvent, nullptr);
  EXPECT_TRUE(child);
  if (!child) return path;
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready.get(), 60000));
  ScopedKernelObject process(
      OpenProcess(PROCESS_DUP_HANDLE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, childId));
  EXPECT_TRUE(SymInitializeW(process.get(), nullptr, FALSE));
  ScopedFile file(
      CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  EXPECT_TRUE(
      MiniDumpWriteDump(process.get(), childId, file.get(), MINIDUMP_TYPE(0x164), nullptr, nullptr, nullptr));
  file.Close();
  SymCleanup(process.get());
  process.Close();
  TerminateProcess(child.get(), 0);
  WaitForSingleObject(child.get(), 10000);
  Bytes dump = ReadBytes(path);
  EXPECT_TRUE(dump.size() > 32 && memcmp(dump.data(), "MDMP", 4) == 0) << "no minidump written";
  return path;
}

// A large binary input: this program's own image (code, tables, strings), much like the module
// memory a full dump holds.
std::wstring Image() {
  static std::wstring path;
  if (path.empty()) {
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    path = Source(L"image.bin", ReadBytes(exe));
  }
  return path;
}

FILETIME FromU64(uint64_t v) {
  FILETIME ft;
  ft.dwLowDateTime = DWORD(v);
  ft.dwHighDateTime = DWORD(v >> 32);
  return ft;
}

// Sets all three times of a file to the given local calendar time.
void SetLocalTime(const std::wstring& path, const CivilTime& local) {
  FILETIME lft = FromU64(CivilToFileTime(local)), utc;
  LocalFileTimeToFileTime(&lft, &utc);
  ScopedFile h(
      CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(h);
  ASSERT_TRUE(SetFileTime(h.get(), &utc, &utc, &utc));
}

uint32_t DosTime(int h, int m, int s) { return uint32_t(h << 11 | m << 5 | s / 2); }
uint32_t DosDate(int y, int mo, int d) { return uint32_t((y - 1980) << 9 | mo << 5 | d); }

const ReadEntry* Find(const ReadArchive& z, const std::string& name) {
  for (const auto& e : z.entries) {
    if (e.name == name) return &e;
  }
  return nullptr;
}

void CheckSeekableLayout(const ReadArchive& z) {
  ASSERT_TRUE(z.ok) << z.error;
  for (size_t i = 0; i < z.entries.size(); ++i) {
    const ReadEntry& e = z.entries[i];
    EXPECT_EQ(e.method == 8 ? 0x0002 : 0x0000, e.central_flags & ~0x0800) << e.name;  // bit 11: UTF-8 name
    EXPECT_EQ(e.central_flags, e.local_flags) << e.name;
    EXPECT_EQ(e.crc, e.local_crc) << e.name;
    EXPECT_EQ(e.compressed, e.local_compressed) << e.name;
    EXPECT_EQ(e.uncompressed, e.local_uncompressed) << e.name;
    EXPECT_FALSE(e.has_descriptor) << e.name;
    uint32_t next = i + 1 < z.entries.size() ? z.entries[i + 1].offset : z.directory_offset;
    EXPECT_EQ(e.end_offset, next) << "gap after " << e.name;
  }
  EXPECT_EQ(z.entries.size(), z.entry_count);
}

TEST(ZipWriterD, FileTargetCarriesEveryEntryRule) {
  const std::wstring archive = L"d_file.zip";
  std::wstring dump = Minidump();
  std::wstring image = Image();
  std::wstring report = Source(L"report.txt", Utf16Report(3000));
  std::wstring text = Source(L"file.txt", Bytes(5000, 'x'));
  std::wstring empty = Source(L"empty.txt", Bytes());
  std::wstring random = Source(L"random.bin", Random(100000, 1));
  std::wstring zeros = Source(L"zeros.bin", Bytes(1 << 20, 0));
  std::wstring t101531 = Source(L"t101531.txt", Bytes(300, 'a'));
  SetLocalTime(t101531, CivilTime{2024, 3, 5, 10, 15, 31});
  std::wstring old = Source(L"old.txt", Bytes(300, 'b'));
  SetLocalTime(old, CivilTime{1965, 7, 14, 8, 20, 42});
  std::wstring readonly = Source(L"readonly.txt", Bytes(10, 'r'));
  SetFileAttributesW(readonly.c_str(), FILE_ATTRIBUTE_READONLY);
  Bytes mem = Utf16Report(100);
  Source(L"mem.bin", mem);

  ZipWriterHandle h = variant_d::ZipWriterCreate((void*)PathOf(archive).c_str(), 0, ZIP_FILENAME);
  ASSERT_NE(nullptr, h);
  struct {
    const wchar_t* name;
    std::wstring source;
  } files[] = {{L"child.dmp", dump},       {L"image.bin", image},      {L"report.txt", report},
               {L"dir\\file.txt", text},   {L"empty.txt", empty},      {L"notes.txt.zip", text},
               {L"archive.zip.txt", text}, {L"UPPER.ZIP", text},       {L"mixed.Gz", text},
               {L"random.bin", random},    {L"zeros.bin", zeros},      {L"t101531.txt", t101531},
               {L"old.txt", old},          {L"readonly.txt", readonly}};
  for (auto& f : files) {
    ASSERT_EQ(ZR_OK, variant_d::ZipWriterAdd(h, f.name, (void*)f.source.c_str(), 0, ZIP_FILENAME))
        << Narrow(f.name);
    std::string entry = Narrow(f.name);
    for (char& c : entry) c = c == '\\' ? '/' : c;
    Expect(archive, entry, f.source.substr(Dir().size() + 1));
  }
  ASSERT_EQ(ZR_OK, variant_d::ZipWriterAdd(h, "mem.bin", mem.data(), uint32_t(mem.size()), ZIP_MEMORY));
  Expect(archive, "mem.bin", L"src\\mem.bin");
  ASSERT_EQ(ZR_OK, variant_d::ZipWriterAdd(h, "logs", nullptr, 0, ZIP_FOLDER));
  ASSERT_EQ(ZR_OK, variant_d::ZipWriterClose(h));
  SetFileAttributesW(readonly.c_str(), FILE_ATTRIBUTE_NORMAL);

  ReadArchive z = testing::ReadZip(ReadBytes(PathOf(archive)));
  CheckSeekableLayout(z);
  ASSERT_EQ(16u, z.entries.size());
  for (const char* stored : {"notes.txt.zip", "UPPER.ZIP", "mixed.Gz", "logs/"}) {
    ASSERT_NE(nullptr, Find(z, stored)) << stored;
    EXPECT_EQ(0, Find(z, stored)->method) << stored;
  }
  EXPECT_EQ(8, Find(z, "archive.zip.txt")->method);
  EXPECT_EQ(8, Find(z, "child.dmp")->method);
  EXPECT_EQ(8, Find(z, "image.bin")->method);
  ASSERT_NE(nullptr, Find(z, "dir/file.txt"));
  const ReadEntry* e = Find(z, "empty.txt");
  EXPECT_EQ(0u, e->uncompressed);
  EXPECT_EQ(0u, e->crc);
  const ReadEntry* logs = Find(z, "logs/");
  EXPECT_EQ(0x41C00010u, logs->attributes);
  EXPECT_EQ(0u, logs->compressed);
  EXPECT_EQ(0x80000000u, Find(z, "mem.bin")->attributes);
  EXPECT_EQ(0x8180u, Find(z, "report.txt")->attributes >> 16);
  EXPECT_EQ(0x81000001u, Find(z, "readonly.txt")->attributes & 0xFFFF0001u);
  // Less than its input even though random data can't shrink: the block was stored, not expanded.
  EXPECT_LE(Find(z, "random.bin")->compressed, 100000u + 100u);

  // Local time 10:15:31 goes in as DOS 10:15:30 local.
  const ReadEntry* t = Find(z, "t101531.txt");
  EXPECT_EQ(DosTime(10, 15, 30), t->dos_time & 0xFFFF);
  EXPECT_EQ(DosDate(2024, 3, 5), t->dos_time >> 16);
  // 1965 becomes 1970-01-01 at the same local time of day; Bias is UTC minus local in minutes. East of
  // UTC+8:20:42 that local time is before the epoch, which has no Unix time: the writer gives 0.
  TIME_ZONE_INFORMATION tz;
  GetTimeZoneInformation(&tz);
  const int64_t oldUnix = 8 * 3600 + 20 * 60 + 42 + int64_t(tz.Bias) * 60;
  EXPECT_EQ(uint32_t(oldUnix < 0 ? 0 : oldUnix), Find(z, "old.txt")->mtime);
  EXPECT_EQ(Find(z, "old.txt")->mtime, Find(z, "old.txt")->central_mtime);
}

// Entry times in the machine's zone. The harness runs this in zones west and east of UTC, set the way
// Windows sees a zone (the system's zone, no TZ variable); ZIP_EXPECT_BIAS names the bias it set, in
// minutes, so a run that silently stayed in UTC fails.
TEST(ZipWriterD, TimesFollowTheMachinesZone) {
  TIME_ZONE_INFORMATION tz;
  const DWORD id = GetTimeZoneInformation(&tz);
  if (const char* want = getenv("ZIP_EXPECT_BIAS")) {
    ASSERT_EQ(atol(want), tz.Bias);
  }
  // Files are shifted by today's offset; the Unix times read the local fields as standard time.
  const int64_t current = tz.Bias + (id == TIME_ZONE_ID_DAYLIGHT ? tz.DaylightBias : 0);
  const int64_t kMinute = 600000000;
  const CivilTime instants[] = {{2024, 1, 15, 23, 30, 11}, {2024, 7, 1, 0, 15, 0}, {1985, 3, 1, 3, 0, 0}};
  const std::wstring archive = L"d_zone.zip";
  ZipWriterHandle h = variant_d::ZipWriterCreate((void*)PathOf(archive).c_str(), 0, ZIP_FILENAME);
  ASSERT_NE(nullptr, h);
  for (size_t i = 0; i < 3; ++i) {
    const std::wstring name = L"zone" + std::to_wstring(i) + L".txt";
    const std::wstring path = Source(name, Bytes(100, 'z'));
    FILETIME utc = FromU64(CivilToFileTime(instants[i]));
    ScopedFile f(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                             nullptr));
    ASSERT_TRUE(SetFileTime(f.get(), &utc, &utc, &utc));
    f.Close();
    ASSERT_EQ(ZR_OK, variant_d::ZipWriterAdd(h, name.c_str(), (void*)path.c_str(), 0, ZIP_FILENAME));
    Expect(archive, Narrow(name), L"src\\" + name);
  }
  ASSERT_EQ(ZR_OK, variant_d::ZipWriterClose(h));
  ReadArchive z = testing::ReadZip(ReadBytes(PathOf(archive)));
  ASSERT_EQ(3u, z.entries.size());
  for (size_t i = 0; i < 3; ++i) {
    const uint64_t utc = CivilToFileTime(instants[i]);
    const CivilTime local = FileTimeToCivil(utc - uint64_t(current * kMinute));
    const ReadEntry& e = z.entries[i];
    EXPECT_EQ(DosDate(local.year, local.month, local.day), e.dos_time >> 16) << i;
    EXPECT_EQ(DosTime(local.hour, local.minute, local.second), e.dos_time & 0xFFFF) << i;
    const int64_t unix = int64_t((utc - 116444736000000000ull) / 10000000);
    EXPECT_EQ(uint32_t(unix + (tz.Bias - current) * 60), e.mtime) << i;
  }
}

TEST(ZipWriterD, NamesWithoutAnExactAnsiFormAreRefused) {
  // Best-fit mapping would make "a/b" or "a\\b" (then "a/b") out of these: new path parts, or a
  // collision with a real "a/b".
  const std::wstring path = Source(L"slashes.txt", Bytes(10, 's'));
  const std::wstring archive = L"d_names.zip";
  ZipWriterHandle h = variant_d::ZipWriterCreate((void*)PathOf(archive).c_str(), 0, ZIP_FILENAME);
  ASSERT_NE(nullptr, h);
  for (const wchar_t* name : {L"a\uFF0Fb.dmp", L"a\u2215b.dmp", L"a\uFF3Cb.dmp", L"\u2044..\u2044x.dmp"}) {
    EXPECT_EQ(ZR_ARGS, variant_d::ZipWriterAdd(h, name, (void*)path.c_str(), 0, ZIP_FILENAME));
  }
  ASSERT_EQ(ZR_OK, variant_d::ZipWriterAdd(h, L"a_b.dmp", (void*)path.c_str(), 0, ZIP_FILENAME));
  Expect(archive, "a_b.dmp", L"src\\slashes.txt");
  if (GetACP() == 1252) {
    // A name the code page does hold goes in byte for byte.
    ASSERT_EQ(ZR_OK, variant_d::ZipWriterAdd(h, L"caf\u00E9.dmp", (void*)path.c_str(), 0, ZIP_FILENAME));
  }
  ASSERT_EQ(ZR_OK, variant_d::ZipWriterClose(h));
  ReadArchive z = testing::ReadZip(ReadBytes(PathOf(archive)));
  ASSERT_TRUE(z.ok) << z.error;
  EXPECT_EQ("a_b.dmp", z.entries[0].name);
  if (z.entries.size() == 2) {
    EXPECT_EQ("caf\xE9.dmp", z.entries[1].name);
  }
  for (const auto& e : z.entries) EXPECT_EQ(std::string::npos, e.name.find('/')) << e.name;
}

TEST(ZipWriterU, FileTargetWithUtcTimesAndUtf8Names) {
  const std::wstring archive = L"u_file.zip";
  std::wstring t101531 = Source(L"u101531.txt", Bytes(3000, 'u'));
  SetLocalTime(t101531, CivilTime{2024, 3, 5, 10, 15, 31});
  std::wstring report = Source(L"report_u.txt", Utf16Report(2000));
  ZipWriterHandle h = variant_u::ZipWriterCreate((void*)PathOf(archive).c_str(), 0, ZIP_FILENAME, nullptr);
  ASSERT_NE(nullptr, h);
  ASSERT_EQ(ZR_OK, variant_u::ZipWriterAdd(h, L"u101531.txt", (void*)t101531.c_str(), 0, ZIP_FILENAME));
  Expect(archive, "u101531.txt", L"src\\u101531.txt");
  // No name: the source's own file name.
  ASSERT_EQ(ZR_OK, variant_u::ZipWriterAdd(h, nullptr, (void*)Minidump().c_str(), 0, ZIP_FILENAME));
  Expect(archive, "child.dmp", L"src\\child.dmp");
  ASSERT_EQ(ZR_OK, variant_u::ZipWriterAdd(h, L"r\u00e9sum\u00e9\\report.txt", (void*)report.c_str(), 0,
                                           ZIP_FILENAME));
  Expect(archive, "r\xc3\xa9sum\xc3\xa9/report.txt", L"src\\report_u.txt");
  Bytes mem = Random(5000, 3);
  Source(L"mem_u.bin", mem);
  ASSERT_EQ(ZR_OK, variant_u::ZipWriterAdd(h, L"mem.bin", mem.data(), uint32_t(mem.size()), ZIP_MEMORY));
  Expect(archive, "mem.bin", L"src\\mem_u.bin");
  ASSERT_EQ(ZR_ARGS, variant_u::ZipWriterAdd(h, nullptr, (void*)L"nobackslash.txt", 0, ZIP_FILENAME));
  ASSERT_EQ(ZR_ARGS, variant_u::ZipWriterAdd(h, nullptr, mem.data(), 10, ZIP_MEMORY));
  ASSERT_EQ(ZR_ARGS, variant_u::ZipWriterAdd(h, std::wstring(300, L'n').c_str(), mem.data(), 10, ZIP_MEMORY));
  ASSERT_EQ(ZR_OK, variant_u::ZipWriterClose(h));

  ReadArchive z = testing::ReadZip(ReadBytes(PathOf(archive)));
  CheckSeekableLayout(z);
  ASSERT_EQ(4u, z.entries.size());
  ASSERT_NE(nullptr, Find(z, "child.dmp"));
  ASSERT_NE(nullptr, Find(z, "r\xc3\xa9sum\xc3\xa9/report.txt"));
  for (const auto& e : z.entries) {
    const int utf8 = e.name == "r\xc3\xa9sum\xc3\xa9/report.txt" ? 0x0800 : 0;
    EXPECT_EQ(utf8, e.central_flags & 0x0800) << e.name;
    EXPECT_EQ(utf8, e.local_flags & 0x0800) << e.name;
  }
  // The same instant in UTC, seconds halved.
  FILETIME lft = FromU64(CivilToFileTime(CivilTime{2024, 3, 5, 10, 15, 31})), utc;
  LocalFileTimeToFileTime(&lft, &utc);
  CivilTime u = FileTimeToCivil(uint64_t(utc.dwHighDateTime) << 32 | utc.dwLowDateTime);
  const ReadEntry* t = Find(z, "u101531.txt");
  EXPECT_EQ(DosTime(u.hour, u.minute, u.second), t->dos_time & 0xFFFF);
  EXPECT_EQ(DosDate(u.year, u.month, u.day), t->dos_time >> 16);
  EXPECT_EQ(uint32_t((uint64_t(utc.dwHighDateTime) << 32 | utc.dwLowDateTime) / 10000000 - 11644473600ULL),
            t->mtime);
}

TEST(ZipWriterD, HandleTargetStartsAtTheFilePosition) {
  const std::wstring archive = L"d_handle.zip";
  ScopedFile file(CreateFileW(PathOf(archive).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, 0, nullptr));
  ASSERT_TRUE(file);
  Bytes prefix(100, 'P');
  DWORD done;
  WriteFile(file.get(), prefix.data(), 100, &done, nullptr);
  ZipWriterHandle h = variant_d::ZipWriterCreate(file.get(), 0, ZIP_HANDLE);
  file.Close();  // the writer holds its own duplicate
  ASSERT_NE(nullptr, h);
  std::wstring report = Source(L"report_h.txt", Utf16Report(500));
  ASSERT_EQ(ZR_OK, variant_d::ZipWriterAdd(h, L"report.txt", (void*)report.c_str(), 0, ZIP_FILENAME));
  Expect(archive, "report.txt", L"src\\report_h.txt");
  // A disk file given by handle is read from its start, whatever its pointer.
  ScopedFile src(
      CreateFileW(report.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  SetFilePointer(src.get(), 1000, nullptr, FILE_BEGIN);
  ASSERT_EQ(ZR_OK, variant_d::ZipWriterAdd(h, "again.txt", src.get(), 0, ZIP_HANDLE));
  src.Close();
  Expect(archive, "again.txt", L"src\\report_h.txt");
  ASSERT_EQ(ZR_OK, variant_d::ZipWriterClose(h));
  ReadArchive z = testing::ReadZip(ReadBytes(PathOf(archive)));
  CheckSeekableLayout(z);
  ASSERT_EQ(2u, z.entries.size());
  EXPECT_EQ(100u, z.entries[0].offset);
  EXPECT_EQ(z.entries[0].crc, z.entries[1].crc);
}

// Pipes with room for everything written to them, so one thread can fill and drain them in turn.
struct Pipe {
  ScopedKernelObject readEnd, writeEnd;
  HANDLE read = nullptr, write = nullptr;
  Pipe() {
    CreatePipe(readEnd.receive(), writeEnd.receive(), nullptr, 4 << 20);
    read = readEnd.get();
    write = writeEnd.get();
  }
  void CloseWrite() {
    writeEnd.Close();
    write = nullptr;
  }
  Bytes Drain() {
    Bytes data;
    uint8_t buf[4096];
    DWORD got;
    while (ReadFile(read, buf, sizeof(buf), &got, nullptr) && got) data.insert(data.end(), buf, buf + got);
    return data;
  }
};

TEST(ZipWriterU, PipeTargetAndPipeSourceUseDataDescriptors) {
  const std::wstring archive = L"u_pipe.zip";
  Pipe out;
  ZipWriterHandle h = variant_u::ZipWriterCreate(out.write, 0, ZIP_HANDLE, nullptr);
  out.CloseWrite();  // the writer holds its own duplicate
  ASSERT_NE(nullptr, h);

  std::wstring report = Source(L"report_p.txt", Utf16Report(800));
  ASSERT_EQ(ZR_OK, variant_u::ZipWriterAdd(h, L"report.txt", (void*)report.c_str(), 0, ZIP_FILENAME));
  Expect(archive, "report.txt", L"src\\report_p.txt");
  Pipe in;
  Bytes piped = Utf16Report(1500);
  Source(L"piped.txt", piped);
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(in.write, piped.data(), DWORD(piped.size()), &done, nullptr));
  in.CloseWrite();
  ASSERT_EQ(ZR_OK, variant_u::ZipWriterAdd(h, L"piped.txt", in.read, 0, ZIP_HANDLE));
  Expect(archive, "piped.txt", L"src\\piped.txt");
  Bytes inner = Random(3000, 4);
  Source(L"inner.zip", inner);
  ASSERT_EQ(ZR_OK,
            variant_u::ZipWriterAdd(h, L"inner.zip", inner.data(), uint32_t(inner.size()), ZIP_MEMORY));
  Expect(archive, "inner.zip", L"src\\inner.zip");
  ASSERT_EQ(ZR_OK, variant_u::ZipWriterClose(h));
  Bytes written = out.Drain();
  WriteBytes(PathOf(archive), written);

  ReadArchive z = testing::ReadZip(written);
  ASSERT_TRUE(z.ok) << z.error;
  ASSERT_EQ(3u, z.entries.size());
  for (const auto& e : z.entries) {
    EXPECT_EQ(0x0008, e.central_flags) << e.name;
    EXPECT_EQ(0x0008, e.local_flags) << e.name;
    EXPECT_TRUE(e.has_descriptor) << e.name;
    EXPECT_EQ(0u, e.local_crc);
  }
  EXPECT_EQ(0xFFFFFFFFu, z.entries[1].local_uncompressed) << "a pipe source announces no size";
  EXPECT_EQ(0x80000000u, z.entries[1].attributes);
  EXPECT_EQ(piped.size(), z.entries[1].uncompressed);
  EXPECT_EQ(z.entries[2].end_offset, z.directory_offset);
}

TEST(ZipWriterD, MemoryTargets) {
  const std::wstring archive = L"d_memory.zip";
  Bytes block(16 << 20, 0);
  ZipWriterHandle h = variant_d::ZipWriterCreate(block.data(), uint32_t(block.size()), ZIP_MEMORY);
  ASSERT_NE(nullptr, h);
  Bytes text = Utf16Report(1000);
  Source(L"mem_d.txt", text);
  ASSERT_EQ(ZR_OK, variant_d::ZipWriterAdd(h, "report.txt", text.data(), uint32_t(text.size()), ZIP_MEMORY));
  Expect(archive, "report.txt", L"src\\mem_d.txt");
  ASSERT_EQ(ZR_OK, variant_d::ZipWriterAdd(h, L"image.bin", (void*)Image().c_str(), 0, ZIP_FILENAME));
  Expect(archive, "image.bin", L"src\\image.bin");
  ASSERT_EQ(ZR_OK, variant_d::ZipWriterClose(h));
  // The archive ends with the end record; the rest of the block is untouched.
  size_t end = block.size() - 4;
  while (end > 0 && memcmp(block.data() + end, "PK\x05\x06", 4) != 0) --end;
  ASSERT_GT(end, 0u);
  block.resize(end + 22);
  WriteBytes(PathOf(archive), block);
  ReadArchive z = testing::ReadZip(block);
  CheckSeekableLayout(z);

  // A caller's block that is too small is not grown.
  Bytes small(200, 0);
  h = variant_d::ZipWriterCreate(small.data(), uint32_t(small.size()), ZIP_MEMORY);
  ASSERT_NE(nullptr, h);
  // A full block is a short write (0x400), as for files; 0x30000 and 0x300 are not add or close results.
  EXPECT_EQ(ZR_WRITE,
            variant_d::ZipWriterAdd(h, "report.txt", text.data(), uint32_t(text.size()), ZIP_MEMORY));
  EXPECT_EQ(ZR_FAILED, variant_d::ZipWriterAdd(h, "x.txt", text.data(), 10, ZIP_MEMORY));
  EXPECT_EQ(ZR_OK, variant_d::ZipWriterClose(h));

  // A paging-file block of our own grows as needed.
  h = variant_d::ZipWriterCreate(nullptr, 16, ZIP_MEMORY);
  ASSERT_NE(nullptr, h);
  EXPECT_EQ(ZR_OK, variant_d::ZipWriterAdd(h, "report.txt", text.data(), uint32_t(text.size()), ZIP_MEMORY));
  EXPECT_EQ(ZR_OK,
            variant_d::ZipWriterAdd(h, "random.bin", block.data(), uint32_t(block.size()), ZIP_MEMORY));
  EXPECT_EQ(ZR_OK, variant_d::ZipWriterClose(h));
  EXPECT_EQ(nullptr, variant_d::ZipWriterCreate(nullptr, 0, ZIP_MEMORY));

  // The same growth, with the bytes visible: the core over paging-file blocks.
  auto* out = new CMemoryOutput(&MakeMappedBlock, MakeMappedBlock(16), 16);
  CZipArchive core(ZipVariant::D, std::unique_ptr<IZipOutput>(out), 0);
  CMemorySource s1(text.data(), text.size());
  ZipSourceInfo info;
  info.declared_size = uint32_t(text.size());
  ASSERT_EQ(ZR_OK, core.Add("report.txt", &s1, info));
  ASSERT_EQ(ZR_OK, core.Close());
  Bytes mapped(out->data(), out->data() + out->written());
  WriteBytes(PathOf(L"d_mapped.zip"), mapped);
  Expect(L"d_mapped.zip", "report.txt", L"src\\mem_d.txt");
  CheckSeekableLayout(testing::ReadZip(mapped));
}

TEST(ZipWriter, BadInputIsRefusedQuietly) {
  EXPECT_EQ(ZR_ARGS, variant_d::ZipWriterAdd(nullptr, "a", (void*)"x", 1, ZIP_MEMORY));
  EXPECT_EQ(ZR_ARGS, variant_d::ZipWriterClose(nullptr));
  EXPECT_EQ(ZR_ARGS, variant_u::ZipWriterAdd(nullptr, L"a", (void*)"x", 1, ZIP_MEMORY));
  EXPECT_EQ(ZR_ARGS, variant_u::ZipWriterClose(nullptr));
  struct {
    uint32_t type;
    void* archive;
  } opening = {1, nullptr};
  ZipWriterHandle wrong = reinterpret_cast<ZipWriterHandle>(&opening);
  EXPECT_EQ(ZR_ZMODE, variant_d::ZipWriterAdd(wrong, "a", (void*)"x", 1, ZIP_MEMORY));
  EXPECT_EQ(ZR_ZMODE, variant_d::ZipWriterClose(wrong));

  EXPECT_EQ(nullptr, variant_d::ZipWriterCreate((void*)PathOf(L"x.zip").c_str(), 0, 5));
  EXPECT_EQ(nullptr, variant_d::ZipWriterCreate((void*)L"Q:\\no\\such\\folder\\x.zip", 0, ZIP_FILENAME));
  EXPECT_EQ(nullptr, variant_d::ZipWriterCreate(nullptr, 0, ZIP_HANDLE));
  EXPECT_EQ(nullptr, variant_u::ZipWriterCreate((void*)PathOf(L"x.zip").c_str(), 0, ZIP_FILENAME, "secret"));

  const std::wstring archive = L"d_bad.zip";
  std::wstring good = Source(L"good.txt", Bytes(1000, 'g'));
  ZipWriterHandle h = variant_d::ZipWriterCreate((void*)PathOf(archive).c_str(), 0, ZIP_FILENAME);
  ASSERT_NE(nullptr, h);
  ASSERT_EQ(ZR_OK, variant_d::ZipWriterAdd(h, L"good.txt", (void*)good.c_str(), 0, ZIP_FILENAME));
  Expect(archive, "good.txt", L"src\\good.txt");
  EXPECT_EQ(ZR_ARGS, variant_d::ZipWriterAdd(h, L"x", (void*)good.c_str(), 0, 0));
  EXPECT_EQ(ZR_ARGS, variant_d::ZipWriterAdd(h, L"x", (void*)good.c_str(), 0, 5));
  EXPECT_EQ(ZR_ARGS, variant_d::ZipWriterAdd(h, L"", (void*)good.c_str(), 0, ZIP_FILENAME));
  EXPECT_EQ(ZR_ARGS, variant_d::ZipWriterAdd(h, "", (void*)"abc", 3, ZIP_MEMORY));
  EXPECT_EQ(ZR_ARGS, variant_d::ZipWriterAdd(h, nullptr, (void*)good.c_str(), 0, ZIP_FILENAME));
  EXPECT_EQ(ZR_ARGS, variant_d::ZipWriterAdd(h, L"x", nullptr, 0, ZIP_FILENAME));
  EXPECT_EQ(ZR_ARGS, variant_d::ZipWriterAdd(h, "x", nullptr, 3, ZIP_MEMORY));
  EXPECT_EQ(ZR_ARGS, variant_d::ZipWriterAdd(h, "x", (void*)"abc", 0, ZIP_MEMORY));
  EXPECT_EQ(ZR_ARGS, variant_d::ZipWriterAdd(h, "x", nullptr, 0, ZIP_HANDLE));
  EXPECT_EQ(ZR_ARGS, variant_d::ZipWriterAdd(h, std::string(600, 'n').c_str(), (void*)"abc", 3, ZIP_MEMORY));
  EXPECT_EQ(ZR_NOFILE, variant_d::ZipWriterAdd(h, L"missing.txt", (void*)PathOf(L"src\\missing.txt").c_str(),
                                               0, ZIP_FILENAME));
  // None of these was recorded as an error: the archive goes on.
  ASSERT_EQ(ZR_OK, variant_d::ZipWriterAdd(h, L"good2.txt", (void*)good.c_str(), 0, ZIP_FILENAME));
  Expect(archive, "good2.txt", L"src\\good.txt");
  ASSERT_EQ(ZR_OK, variant_d::ZipWriterClose(h));
  ReadArchive z = testing::ReadZip(ReadBytes(PathOf(archive)));
  CheckSeekableLayout(z);
  EXPECT_EQ(2u, z.entries.size());

  // Output that refuses writes: the first add fails and is recorded, later adds are refused.
  ScopedFile ro(CreateFileW(good.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  h = variant_d::ZipWriterCreate(ro.get(), 0, ZIP_HANDLE);
  ro.Close();
  ASSERT_NE(nullptr, h);
  EXPECT_EQ(ZR_WRITE, variant_d::ZipWriterAdd(h, "a.txt", (void*)"abc", 3, ZIP_MEMORY));
  EXPECT_EQ(ZR_FAILED, variant_d::ZipWriterAdd(h, "b.txt", (void*)"abc", 3, ZIP_MEMORY));
  EXPECT_EQ(ZR_WRITE, variant_d::ZipWriterClose(h));
}

}  // namespace
}  // namespace zip
