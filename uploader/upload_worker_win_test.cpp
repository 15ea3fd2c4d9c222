// Under Wine: the identity from the real disks and adapters, the report mark in the real registry,
// the completion callback's decisions and the worker's wait.
#include <winsock2.h>

#include <windows.h>
// windows.h first: the other Windows headers build on its types.
#include <gtest/gtest.h>
#include <iphlpapi.h>

#include <string>

#include "common/protocol/registry_names.h"
#include "common/scoped_handle_win.h"
#include "common/testing/test_support_win.h"
#include "common/wformat.h"
#include "uploader/machine_identity_win.h"
#include "uploader/upload_worker_win.h"

namespace ulvane {
namespace {

using protocol::CNetRequest;

// The MAC part worked out here from the adapter list itself: no disk answers under Wine, so the
// identity must be exactly "00000000-" and this text.
std::wstring ExpectedMacText() {
  ULONG size = 1 << 16;
  std::string buffer(size, '\0');
  auto* list = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(&buffer[0]);
  if (GetAdaptersAddresses(AF_INET, 0, nullptr, list, &size) != ERROR_SUCCESS) return L"000000000000";
  std::wstring wired, wireless;
  for (auto* a = list; a; a = a->Next) {
    if (a->PhysicalAddressLength == 0) continue;
    std::wstring text;
    for (ULONG i = 0; i < a->PhysicalAddressLength; ++i)
      text += suite::WFormat(L"%02X", a->PhysicalAddress[i]);
    if (a->IfType == IF_TYPE_ETHERNET_CSMACD && text > wired) wired = text;
    if (a->IfType == IF_TYPE_IEEE80211 && wireless.empty()) wireless = text;
  }
  if (!wired.empty()) return wired;
  return wireless.empty() ? L"000000000000" : wireless;
}

TEST(MachineIdentityWine, NoDiskAnswersSoTheDiskPartIsZeros) {
  WinDiskDevices disks;
  EXPECT_EQ(GetDiskSerial(disks), "");
  std::wstring guid;
  GetMachineGuid(guid);
  EXPECT_EQ(guid, L"00000000-" + ExpectedMacText());
  EXPECT_EQ(WidenAnsi("S1234567"), L"S1234567");
}

const wchar_t kVersion[] = L"9.8.7.6";
const wchar_t kDump[] = L"Orv_test.dmp";

class ReportMark : public ::testing::Test {
 protected:
  std::wstring keyPath = std::wstring(protocol::kBugMarkKey) + L"\\" + kVersion;
  void SetUp() override { RegDeleteKeyW(HKEY_CURRENT_USER, keyPath.c_str()); }
  void TearDown() override { RegDeleteKeyW(HKEY_CURRENT_USER, keyPath.c_str()); }
  void Write(DWORD value) {
    ASSERT_TRUE(suite::testing::WriteRegistryDword(HKEY_CURRENT_USER, keyPath, kDump, value));
  }
  // -1 when the value is absent, -2 when the key is.
  long Read() {
    suite::ScopedRegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_READ, key.receive()) != ERROR_SUCCESS)
      return -2;
    DWORD value = 0;
    return suite::testing::ReadRegistryDword(HKEY_CURRENT_USER, keyPath, kDump, &value)
               ? static_cast<long>(value)
               : -1;
  }
};

TEST_F(ReportMark, SetReadDeleteOnlyAnExistingValue) {
  DWORD result = 0;
  EXPECT_FALSE(UpdateReportMark(kVersion, kDump, kMarkSet, &result));
  EXPECT_EQ(Read(), -2);  // the key is never created
  Write(0);
  EXPECT_TRUE(UpdateReportMark(kVersion, kDump, kMarkSet, nullptr));
  EXPECT_EQ(Read(), 1);
  EXPECT_TRUE(UpdateReportMark(kVersion, kDump, kMarkRead, &result));
  EXPECT_EQ(result, 1u);
  EXPECT_TRUE(UpdateReportMark(kVersion, kDump, kMarkDelete, nullptr));
  EXPECT_EQ(Read(), -1);
  result = 7;
  EXPECT_TRUE(UpdateReportMark(kVersion, kDump, kMarkRead, &result));
  EXPECT_EQ(result, 7u);  // left as it was
  EXPECT_TRUE(UpdateReportMark(kVersion, kDump, kMarkSet, nullptr));
  EXPECT_EQ(Read(), -1);  // a missing value is not created
}

class Callback : public ReportMark {
 protected:
  NetTaskContext info_, file_;
  void SetUp() override {
    ReportMark::SetUp();
    ASSERT_TRUE(CNetTaskMgr::Instance()->AddTask(protocol::kInfoTaskId, &info_));
    ASSERT_TRUE(CNetTaskMgr::Instance()->AddTask(protocol::kFileTaskId, &file_));
  }
  void TearDown() override {
    CNetTaskMgr::Instance()->RemoveTask(protocol::kInfoTaskId);
    CNetTaskMgr::Instance()->RemoveTask(protocol::kFileTaskId);
    ReportMark::TearDown();
  }
  void Reset(NetTaskContext& c, LONG declined) {
    c.done = 0;
    c.declined = declined;
    c.succeeded = 0;
  }
  void Complete(uint32_t id, const char* answer, uint32_t status) {
    CNetRequest request(id, id == 1 ? protocol::kKindFields : protocol::kKindBody, 20);
    if (answer) {
      request.response = static_cast<char*>(GlobalAlloc(GPTR, strlen(answer) + 1));
      strcpy(request.response, answer);
    }
    EXPECT_EQ(OnRequestDone(&request, status), 0u);
  }
};

TEST_F(Callback, TaskTableKeepsTheFirstContextUntilRemoved) {
  NetTaskContext other;
  EXPECT_FALSE(CNetTaskMgr::Instance()->AddTask(protocol::kInfoTaskId, &other));
  EXPECT_EQ(CNetTaskMgr::Instance()->FindTask(protocol::kInfoTaskId), &info_);
  EXPECT_EQ(CNetTaskMgr::Instance()->FindTask(3), nullptr);
  CNetTaskMgr::Instance()->RemoveTask(protocol::kInfoTaskId);
  EXPECT_TRUE(CNetTaskMgr::Instance()->AddTask(protocol::kInfoTaskId, &other));
  EXPECT_EQ(CNetTaskMgr::Instance()->FindTask(protocol::kInfoTaskId), &other);
}

// The callback only reports; the worker keeps the marks (upload_run.cpp).
TEST_F(Callback, InformationAnswersLeaveTheMarkAlone) {
  struct Case {
    const char* answer;
    uint32_t status;
    LONG succeeded, declined;
  } cases[] = {{"true", 200, 1, 0},
               {"trueXYZ", 200, 1, 0},
               {"TRUE", 200, 1, 1},
               {" true", 200, 1, 1},
               {nullptr, 204, 1, 1},
               {"true", 0x600001F4, 0, 1},
               {"true", protocol::kNetFailTimeLimit, 0, 1}};
  for (const Case& c : cases) {
    Write(0);
    Reset(info_, 1);
    Complete(protocol::kInfoTaskId, c.answer, c.status);
    EXPECT_EQ(info_.done, 1) << (c.answer ? c.answer : "(none)");
    EXPECT_EQ(info_.succeeded, c.succeeded) << (c.answer ? c.answer : "(none)");
    EXPECT_EQ(info_.declined, c.declined) << (c.answer ? c.answer : "(none)");
    EXPECT_EQ(Read(), 0) << (c.answer ? c.answer : "(none)");
  }
}

TEST_F(Callback, ArchiveAnswers) {
  Reset(file_, 0);
  Complete(protocol::kFileTaskId, "stored", 0x60100000 | 12029);
  EXPECT_EQ(file_.done, 1);
  EXPECT_EQ(file_.succeeded, 0);
  Reset(file_, 0);
  Complete(protocol::kFileTaskId, nullptr, 200);
  EXPECT_EQ(file_.succeeded, 1);
  EXPECT_EQ(file_.declined, 1);
  Complete(9, "true", 200);  // unknown ids are ignored
}

TEST_F(ReportMark, ListedWithTheirVersion) {
  Write(1);
  bool found = false;
  for (const MarkEntry& m : ListReportMarks()) found |= m.version == kVersion && m.dumpFileName == kDump;
  EXPECT_TRUE(found);
}

TEST(WaitForRequest, AStopLeavesAtOnce) {
  suite::ScopedKernelObject stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  NetTaskContext context;
  SetEvent(stop.get());
  EXPECT_FALSE(WaitForRequest(stop.get(), context));
  EXPECT_EQ(context.done, 0);  // abandoned: the caller keeps the context alive for the callback

  NetTaskContext finished;
  finished.done = 1;
  ResetEvent(stop.get());
  EXPECT_TRUE(WaitForRequest(stop.get(), finished));
}

}  // namespace
}  // namespace ulvane
