// Fuzz target: arbitrary bytes cut into arbitrary entries and read pieces go through the writer core
// (either variant, seekable or pipe-like output) and must come back equal through the independent
// test reader (hand-parsed records, zlib inflate). Raw DEFLATE streams are checked the same way.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/zip/deflate.h"
#include "common/zip/zip_archive.h"
#include "common/zip/zip_test_reader.h"
#include "common/zip/zip_test_source.h"

namespace {

typedef std::vector<uint8_t> Bytes;

class AppendOutput : public zip::IZipOutput {
 public:
  explicit AppendOutput(Bytes* sink) : sink_(sink) {}
  zip::ZipResult Write(const void* data, size_t len) override {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    sink_->insert(sink_->end(), p, p + len);
    return zip::ZR_OK;
  }
  zip::ZipResult Seek(uint32_t) override { return zip::ZR_SEEK; }
  zip::ZipResult Truncate(uint32_t) override { return zip::ZR_SEEK; }
  bool seekable() const override { return false; }

 private:
  Bytes* sink_;
};

void Check(bool ok) {
  if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  bool variant_u = fdp.ConsumeBool();
  bool seekable = fdp.ConsumeBool();
  size_t entry_count = fdp.ConsumeIntegralInRange<size_t>(1, 4);
  std::vector<size_t> pieces(fdp.ConsumeIntegralInRange<size_t>(0, 8));
  for (size_t& p : pieces) p = fdp.ConsumeIntegralInRange<size_t>(1, 70000);

  std::vector<Bytes> contents;
  std::vector<std::string> names;
  for (size_t i = 0; i < entry_count; ++i) {
    size_t len = i + 1 == entry_count ? fdp.remaining_bytes()
                                      : fdp.ConsumeIntegralInRange<size_t>(0, fdp.remaining_bytes());
    Bytes b = fdp.ConsumeBytes<uint8_t>(len);
    // Stretch some inputs with repeats so long matches and many blocks are reached from short seeds.
    if (!b.empty() && b[0] % 4 == 0) {
      size_t copies = b[0] / 4 + 2;
      Bytes grown;
      for (size_t c = 0; c < copies && grown.size() < 100000; ++c)
        grown.insert(grown.end(), b.begin(), b.end());
      b.swap(grown);
    }
    contents.push_back(b);
    names.push_back("e" + std::to_string(i) + (i % 3 == 2 ? ".gz" : ".bin"));
  }

  // The raw stream on its own.
  Bytes packed = zip::DeflateBuffer(contents[0].data(), contents[0].size());
  Check(!packed.empty());

  Bytes sink;
  std::unique_ptr<zip::IZipOutput> out;
  zip::CMemoryOutput* memory = nullptr;
  if (seekable) {
    memory = new zip::CMemoryOutput(&zip::MakeHeapBlock, zip::MakeHeapBlock(64), 64);
    out.reset(memory);
  } else {
    out.reset(new AppendOutput(&sink));
  }
  zip::CZipArchive archive(variant_u ? zip::ZipVariant::U : zip::ZipVariant::D, std::move(out), 0);
  for (size_t i = 0; i < contents.size(); ++i) {
    // Pieces of the sizes the fuzzer chose.
    zip::testing::PieceSource source(contents[i], zip::testing::CyclingPieces(pieces));
    zip::ZipSourceInfo info;
    info.declared_size = uint32_t(contents[i].size());
    Check(archive.Add(names[i], &source, info) == zip::ZR_OK);
  }
  Check(archive.Close() == zip::ZR_OK);
  if (memory) sink.assign(memory->data(), memory->data() + memory->written());

  zip::testing::ReadArchive z = zip::testing::ReadZip(sink);
  Check(z.ok);
  Check(z.entries.size() == contents.size());
  for (size_t i = 0; i < contents.size(); ++i) {
    Check(z.entries[i].name == names[i]);
    Check(z.entries[i].data == contents[i]);
    Check(z.entries[i].has_descriptor == !seekable);
  }
  return 0;
}
