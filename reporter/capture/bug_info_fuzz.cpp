// Fuzz target for Kelvor's outside input: the "/BugInfo:" switch of its command line (and the crash
// handler's formatter against what was read), the crash record read out of the crashed process
// (here a fuzzed address space that may refuse any read), then the record's text slots as the
// capture uses them for names and restart choices.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>

#include "common/fuzz_support.h"
#include "common/protocol/bug_info.h"
#include "reporter/capture/capture_rules.h"

namespace {

using suite::FuzzCheck;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const protocol::BugInfoSwitch sw = protocol::ParseBugInfoSwitch(suite::ConsumeWideText(fdp, 200));
  if (!sw.found)
    FuzzCheck(sw.blockAddress == 0 && sw.processId == 0 && sw.threadId == 0 && sw.eventHandle == 0);
  // Whatever was read, the crash handler's form of it reads back as the same four values.
  wchar_t again[protocol::kBugInfoSwitchCapacity];
  FuzzCheck(protocol::FormatBugInfoSwitch(sw, again, protocol::kBugInfoSwitchCapacity) > 0);
  const protocol::BugInfoSwitch back = protocol::ParseBugInfoSwitch(again);
  FuzzCheck(back.found && back.blockAddress == sw.blockAddress && back.processId == sw.processId &&
            back.threadId == sw.threadId && back.eventHandle == sw.eventHandle);

  // The crashed process's memory: the rest of the input, mapped at a fuzzed base; reads that leave it,
  // or that the fuzzer fails, come back short.
  const uint32_t base = fdp.ConsumeIntegral<uint32_t>();
  const uint8_t failEvery = fdp.ConsumeIntegral<uint8_t>();
  const std::vector<uint8_t> memory = fdp.ConsumeRemainingBytes<uint8_t>();
  uint32_t reads = 0;
  auto read = [&](uint32_t address, void* buffer, uint32_t n) {
    ++reads;
    if (failEvery && reads % failEvery == 0) return false;
    if (address < base || uint64_t(address - base) + n > memory.size()) return false;
    memcpy(buffer, memory.data() + (address - base), n);
    return true;
  };
  std::vector<uint8_t> block;
  const kelvor::IntakeError e = kelvor::ReadBugInfoBlock(read, base, block);
  if (e != kelvor::IntakeError::None) {
    FuzzCheck(block.empty());
    return 0;
  }
  FuzzCheck(block.size() == protocol::kBugInfoSize);
  protocol::BugInfoBlock info;
  memcpy(&info, block.data(), sizeof(info));
  FuzzCheck(info.magic == protocol::kBugInfoMagic && info.totalSize == protocol::kBugInfoSize);

  const std::wstring stem = protocol::SlotText(info.nameStem);
  FuzzCheck(stem.size() < 261);
  const std::wstring dump = kelvor::DumpFileNameAt(stem, kelvor::LocalTime{2024, 3, 5, 10, 15, 31});
  kelvor::ReportNameFor(dump);
  kelvor::FullDumpNameFor(dump);
  kelvor::ClashVariant(dump, 98);
  kelvor::IsOlderFullDump(dump, kelvor::FullDumpNameFor(dump));
  const std::wstring app = protocol::SlotText(info.appName);
  kelvor::TakesRestartPath(info.showWindow != 0, info.restart != 0, true, kelvor::IsProductProcessName(app));
  kelvor::ChooseRestartAction(info.restart != 0, info.isService != 0, protocol::SlotText(info.serviceName));
  FuzzCheck(protocol::SlotText(info.restartCommandLine).size() < 522 &&
            protocol::SlotText(info.commandLine).size() < 261);
  return 0;
}
