// Fuzz target for what callers hand the writer besides the data: entry names (any bytes), DOS
// attributes, the three file times and the zone shift of variant D. Every entry must come back through
// the independent test reader with the name rules applied, its attributes, and DOS fields in range.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/fuzz_support.h"
#include "common/zip/zip_archive.h"
#include "common/zip/zip_test_reader.h"
#include "common/zip/zip_test_source.h"

namespace {

typedef std::vector<uint8_t> Bytes;

using suite::FuzzCheck;

void CheckDosFields(uint32_t dos) {
  uint32_t date = dos >> 16, time = dos & 0xFFFF;
  uint32_t month = date >> 5 & 0xF, day = date & 0x1F;
  FuzzCheck(month >= 1 && month <= 12 && day >= 1 && day <= 31);
  FuzzCheck((time >> 11) < 24 && (time >> 5 & 0x3F) < 60 && (time & 0x1F) < 30);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const bool variant_u = fdp.ConsumeBool();
  auto* out = new zip::CMemoryOutput(&zip::MakeHeapBlock, zip::MakeHeapBlock(64), 64);
  zip::CZipArchive archive(variant_u ? zip::ZipVariant::U : zip::ZipVariant::D,
                           std::unique_ptr<zip::IZipOutput>(out), 0);
  std::vector<std::string> names;
  std::vector<uint32_t> attributes;
  std::vector<Bytes> contents;
  std::vector<bool> folders;
  const size_t count = fdp.ConsumeIntegralInRange<size_t>(1, 4);
  for (size_t i = 0; i < count && fdp.remaining_bytes(); ++i) {
    std::string name = fdp.ConsumeRandomLengthString(600);
    const bool folder = fdp.ConsumeBool();
    zip::ZipSourceInfo info;
    info.folder = folder;
    info.attributes =
        folder ? zip::kFolderAttributes : zip::DiskFileAttributes(fdp.ConsumeIntegral<uint32_t>());
    const uint64_t w = fdp.ConsumeIntegral<uint64_t>(), a = fdp.ConsumeIntegral<uint64_t>(),
                   c = fdp.ConsumeIntegral<uint64_t>();
    if (variant_u) {
      info.times = zip::TimesFromUtcFileTimes(w, a, c);
    } else {
      // Up to 14 hours either way, as zones are, and any value beyond.
      const int64_t shift = fdp.ConsumeIntegral<int64_t>();
      info.times =
          zip::TimesFromLocalFileTimes(zip::UtcToLocalFileTime(w, shift), zip::UtcToLocalFileTime(a, shift),
                                       zip::UtcToLocalFileTime(c, shift));
    }
    CheckDosFields(info.times.dos);
    Bytes content = folder ? Bytes() : fdp.ConsumeBytes<uint8_t>(fdp.ConsumeIntegralInRange<size_t>(0, 512));
    info.declared_size = uint32_t(content.size());
    zip::testing::PieceSource source(content);
    zip::ZipResult r = archive.Add(name, folder ? nullptr : &source, info);
    if (name.empty()) {
      FuzzCheck(r == zip::ZR_ARGS);
      continue;
    }
    FuzzCheck(r == zip::ZR_OK);
    names.push_back(zip::EntryName(name, folder));
    attributes.push_back(info.attributes);
    contents.push_back(content);
    folders.push_back(folder);
  }
  FuzzCheck(archive.Close() == zip::ZR_OK);
  zip::testing::ReadArchive z = zip::testing::ReadZip(Bytes(out->data(), out->data() + out->written()));
  FuzzCheck(z.ok && z.entries.size() == names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    const auto& e = z.entries[i];
    FuzzCheck(e.name == names[i]);
    FuzzCheck(e.name.find('\\') == std::string::npos);
    FuzzCheck(e.attributes == attributes[i]);
    FuzzCheck(e.data == contents[i]);
    FuzzCheck(e.method == (folders[i] || zip::IsStoredName(names[i]) ? 0 : 8));
    CheckDosFields(e.dos_time);
  }
  return 0;
}
