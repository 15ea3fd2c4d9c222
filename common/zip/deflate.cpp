// DEFLATE compressor at level 8: hash chains over a 32 KiB sliding window, lazy match evaluation.
//
// Finding matches. The input streams through a 64 KiB window whose lower half is history; once the
// current position reaches 32 KiB + kMaxDist the window slides down by 32 KiB. A match starts less
// than kMaxDist (32506) bytes back, so it never reaches into the 262 bytes still read ahead. Every
// position with at least three bytes ahead goes into three tables: a hash of its first five bytes
// heads a chain (`head`, `prev`) through the earlier positions with that hash, nearest first, and
// hashes of its first four and first three bytes keep only the latest such position (`head4`,
// `head3`). Window position 0 doubles as "none": nothing is matched against the string there (the
// stream's first one, and after each slide the one that lands there). A position is searched only
// when the latest 3-byte occurrence is within reach. The search looks for something longer than the
// match already held (see below): it walks the 5-byte chain for at most 1024 candidates (256 when the
// held match is 32 bytes or longer, 16 when the string starts with four equal bytes), measures a
// candidate only when it agrees with the string in its first four bytes and in the four that end at
// the best length so far (at byte 4 while that is shorter), compares eight bytes at a time, and stops
// at 258 bytes or the end of the input. When the chain gives no match of five bytes, the latest 4-byte
// occurrence is taken, else the latest 3-byte one, each after a check of its bytes. A match of
// exactly three bytes more than 4096 bytes back is dropped: it costs about what three literals cost.
//
// Lazy matching. A match found at one position is held and the next position is searched as well:
// when that one finds nothing longer, the held match is emitted; otherwise the held position goes out
// as a literal and the longer match is held in its place. After a held match of 128 bytes or more the
// next position is not searched at all. Every position inside an emitted match is put into the tables
// too.
//
// Choosing a block's type (deflate_block.cpp). A block ends when its buffer of 16383 symbols is full
// (a literal or a match is one symbol) or when the input ends. Its size is worked out to the bit for
// both codings: the fixed trees, and dynamic trees from the block's own frequencies (Huffman codes
// limited to 15 bits, the code-length code to 7; the header's code lengths run-length coded and the
// unused code-length codes at the end of their order left out, at least four sent), each rounded up
// to whole bytes with the 3-bit block header. A stored block is chosen when the block's bytes are
// still in the window and their count plus 4 (the length and its complement) is no larger than the
// smaller coded size; otherwise the smaller of fixed and dynamic, a tie going to fixed. More than
// 65535 stored bytes go out as several stored blocks.
#include "common/zip/deflate.h"

#include <cstring>

#include "common/zip/deflate_block.h"

namespace zip {
namespace {

constexpr unsigned kWindowSize = 32768;
constexpr unsigned kWindowMask = kWindowSize - 1;
constexpr unsigned kMinMatch = 3;
constexpr unsigned kMaxMatch = 258;
constexpr unsigned kMinLookahead = kMaxMatch + kMinMatch + 1;
constexpr unsigned kMaxDist = kWindowSize - kMinLookahead;
// Chains link positions by their first five bytes: candidates sharing fewer bytes with the string are
// mostly too short to use, and walking past them is what costs the time (in machine code and dumps
// most 4-byte strings recur hundreds of times). The latest position of each 4-byte and of each 3-byte
// string is kept apart, for the shorter matches that are still worth taking; the nearest one is
// nearly always the cheapest to code.
constexpr unsigned kHashBits = 15;
constexpr unsigned kHashSize = 1u << kHashBits;
constexpr unsigned kLatestBits = kHashBits - 1;
constexpr unsigned kLatestSize = 1u << kLatestBits;
// An input that fits the window uses only the part of the tables its size needs (a 2 KB file 2048
// chain heads): clearing all of them would cost a small file more than compressing it.
constexpr unsigned kMinHashBits = 9;
// A 3-byte match farther back than this costs about as much as three literals.
constexpr unsigned kTooFar = 4096;
// The level-8 parameters of the classic configuration table.
constexpr unsigned kGoodMatch = 32;   // a match this long cuts the chain search to a quarter
constexpr unsigned kMaxLazy = 128;    // no lazy search after a match this long
constexpr unsigned kNiceMatch = 258;  // stop searching at a match this long
constexpr unsigned kMaxChain = 1024;  // chain entries examined per search
// Chain entries examined for a string that starts with four equal bytes. Such strings (zeros above all,
// in dumps) have as many earlier occurrences as the runs before them are long, nearly all of them
// matching no further than the run; the nearest few are the ones that pay off.
constexpr unsigned kRunChain = 16;
// Room behind the window for 8-byte reads of a match that runs up to the last valid byte.
constexpr unsigned kWindowSlack = kMaxMatch + 16;

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}
inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return v;
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "match compare counts trailing zero bits");

// Number of equal leading bytes of a and b, at most kMaxMatch.
inline unsigned MatchLength(const uint8_t* a, const uint8_t* b) {
  unsigned len = 0;
  while (len < 256) {
    uint64_t diff = Load64(a + len) ^ Load64(b + len);
    if (diff) return len + (__builtin_ctzll(diff) >> 3);
    len += 8;
  }
  if (a[256] != b[256]) return 256;
  return a[257] != b[257] ? 257 : 258;
}

// Hashes of the five, four and three bytes at p; multiplying spreads the bits over the top bits. The
// five bytes are two overlapping words, so the programs' 32-bit build needs no 64-bit product. A table
// used in part takes the low bits of these (a mask costs less than a shift by a variable).
inline unsigned Hash5(const uint8_t* p) {
  return ((Load32(p) * 2654435761u) ^ (Load32(p + 1) * 0x85EBCA77u)) >> (32 - kHashBits);
}
inline unsigned Hash4(const uint8_t* p) { return (Load32(p) * 2654435761u) >> (32 - kLatestBits); }
inline unsigned Hash3(const uint8_t* p) { return ((Load32(p) << 8) * 2654435761u) >> (32 - kLatestBits); }

// Positions in a table after the window slid down by 32 KiB; those that slid out become "none".
inline void SlideTable(uint16_t* table, unsigned n) {
  for (unsigned i = 0; i < n; ++i) table[i] = table[i] >= kWindowSize ? uint16_t(table[i] - kWindowSize) : 0;
}

}  // namespace

struct CDeflater::State {
  // Window of twice the match distance: the upper half is read ahead, the lower half is history.
  uint8_t window[2 * kWindowSize + kWindowSlack];
  uint16_t prev[kWindowSize];   // previous position with the same hash, by position & mask
  uint16_t head[kHashSize];     // latest position of each 5-byte hash, 0 = none
  uint16_t head4[kLatestSize];  // latest position of each 4-byte hash, 0 = none
  uint16_t head3[kLatestSize];  // latest position of each 3-byte hash, 0 = none
  detail::CBlockEncoder block;

  DeflateInput* in = nullptr;
  bool input_ended = false;
  bool read_failed = false;
  unsigned strstart = 0;
  unsigned lookahead = 0;
  long block_start = 0;  // negative once the block's first bytes have slid out of the window
  unsigned match_start = 0;
  unsigned prev_length = 0;
  unsigned head_mask = kHashSize - 1;      // the part of `head` in use
  unsigned latest_mask = kLatestSize - 1;  // the part of `head4` and `head3` in use

  void Reset(DeflateInput* input) {
    in = input;
    input_ended = false;
    read_failed = false;
    strstart = 0;
    lookahead = 0;
    block_start = 0;
    match_start = 0;
    prev_length = 0;
  }

  // Called once the first window of input is in: the tables this input needs, cleared.
  void SizeTables() {
    unsigned bits = kHashBits;
    if (input_ended) {
      while (bits > kMinHashBits && (1u << (bits - 1)) >= lookahead) --bits;
    }
    head_mask = (1u << bits) - 1;
    latest_mask = head_mask >> 1;
    memset(head, 0, sizeof(head[0]) * (head_mask + 1));
    memset(head4, 0, sizeof(head4[0]) * (latest_mask + 1));
    memset(head3, 0, sizeof(head3[0]) * (latest_mask + 1));
  }

  void SlideWindow() {
    memcpy(window, window + kWindowSize, kWindowSize);
    match_start -= kWindowSize;
    strstart -= kWindowSize;
    block_start -= kWindowSize;
    // Whole tables, so the loops have fixed bounds and vectorize; only an input longer than the window
    // slides, and it has the tables at their full size.
    SlideTable(head, kHashSize);
    SlideTable(head4, kLatestSize);
    SlideTable(head3, kLatestSize);
    SlideTable(prev, kWindowSize);
  }

  // One read into the free part of the window.
  void ReadSome() {
    size_t room = 2 * kWindowSize - lookahead - strstart;
    long n = in->Read(window + strstart + lookahead, room);
    if (n > 0) {
      lookahead += unsigned(n);
      return;
    }
    // The end, or a failed read: what was read is still compressed (and the stream then refused).
    // The hashes and the 8-byte compares read past the last byte; those bytes are left from earlier
    // data or never written, so give them a defined value.
    read_failed = n < 0;
    input_ended = true;
    memset(window + strstart + lookahead, 0, kWindowSlack);
  }

  // Reads until at least kMinLookahead bytes are ahead or the input has ended.
  void FillWindow() {
    do {
      if (strstart >= kWindowSize + kMaxDist) SlideWindow();
      if (input_ended) return;
      ReadSome();
    } while (lookahead < kMinLookahead);
  }

  // The first fill takes as much as the window holds, so that a short input is known to be short.
  void FillFirst() {
    while (!input_ended && lookahead < 2 * kWindowSize) ReadSome();
  }

  // The latest earlier positions of the string at `pos`: by its first five bytes (the head of its
  // chain, returned), four bytes and three bytes.
  struct Latest {
    unsigned five, four, three;
  };
  inline Latest Insert(unsigned pos) {
    const uint8_t* p = window + pos;
    unsigned h5 = Hash5(p) & head_mask, h4 = Hash4(p) & latest_mask, h3 = Hash3(p) & latest_mask;
    Latest latest = {head[h5], head4[h4], head3[h3]};
    prev[pos & kWindowMask] = uint16_t(latest.five);
    head[h5] = uint16_t(pos);
    head4[h4] = uint16_t(pos);
    head3[h3] = uint16_t(pos);
    return latest;
  }

  unsigned LongestMatch(const Latest& latest);
  void FlushBlock(bool last) {
    const uint8_t* raw = block_start >= 0 ? window + block_start : nullptr;
    block.FlushBlock(raw, size_t(long(strstart) - block_start), last);
    block_start = strstart;
  }
  bool Run();
};

unsigned CDeflater::State::LongestMatch(const Latest& latest) {
  unsigned chain = kMaxChain;
  const uint8_t* scan = window + strstart;
  unsigned best_len = prev_length;
  unsigned nice = kNiceMatch < lookahead ? kNiceMatch : lookahead;
  unsigned limit = strstart > kMaxDist ? strstart - kMaxDist : 0;
  if (prev_length >= kGoodMatch) chain >>= 2;
  uint32_t first = Load32(scan);
  if (first == (first & 0xFF) * 0x01010101u && chain > kRunChain) chain = kRunChain;
  // A candidate can only beat best_len if it agrees with scan on bytes 0..best_len. Four bytes at the
  // start and four ending at best_len are checked first: one compare each rejects nearly every
  // candidate. Up to a best length of 4, the chain is only for matches of five bytes or more.
  unsigned end_at = best_len > 4 ? best_len - 3 : 1;
  uint32_t scan_end = Load32(scan + end_at);
  unsigned cur_match = latest.five;
  if (cur_match > limit) {
    do {
      const uint8_t* match = window + cur_match;
      if (Load32(match + end_at) != scan_end || Load32(match) != first) continue;
      unsigned len = MatchLength(scan, match);
      if (len > best_len) {
        match_start = cur_match;
        best_len = len;
        if (len >= nice) break;
        end_at = best_len - 3;
        scan_end = Load32(scan + end_at);
      }
    } while ((cur_match = prev[cur_match & kWindowMask]) > limit && --chain != 0);
  }
  // Nothing of five bytes or more: the latest 4-byte occurrence, else the latest 3-byte one.
  if (best_len < 4 && latest.four > limit && Load32(window + latest.four) == first) {
    match_start = latest.four;
    best_len = MatchLength(scan, window + latest.four);
  }
  if (best_len < kMinMatch && latest.three > limit) {
    const uint8_t* match = window + latest.three;
    if (((Load32(match) ^ first) & 0x00FFFFFFu) == 0) {
      match_start = latest.three;
      best_len = MatchLength(scan, match);
    }
  }
  return best_len <= lookahead ? best_len : lookahead;
}

// The lazy evaluation loop: a match found at one position is only taken when the next position
// does not offer a longer one.
bool CDeflater::State::Run() {
  bool match_available = false;
  unsigned match_length = kMinMatch - 1;
  FillFirst();
  SizeTables();
  for (;;) {
    if (lookahead < kMinLookahead) {
      FillWindow();
      if (lookahead == 0) break;
    }
    Latest latest = {0, 0, 0};
    if (lookahead >= kMinMatch) latest = Insert(strstart);
    prev_length = match_length;
    unsigned prev_match = match_start;
    match_length = kMinMatch - 1;
    if (latest.three != 0 && prev_length < kMaxLazy && strstart - latest.three <= kMaxDist) {
      match_length = LongestMatch(latest);
      if (match_length == kMinMatch && strstart - match_start > kTooFar) match_length = kMinMatch - 1;
    }
    if (prev_length >= kMinMatch && match_length <= prev_length) {
      unsigned max_insert = strstart + lookahead - kMinMatch;
      bool full = block.TallyMatch(strstart - 1 - prev_match, prev_length);
      // The match covers strstart-1 .. strstart+prev_length-2; strstart-1 and strstart are hashed.
      lookahead -= prev_length - 1;
      unsigned last = strstart + prev_length - 2;
      unsigned stop = last < max_insert ? last : max_insert;
      for (unsigned pos = strstart + 1; pos <= stop; ++pos) Insert(pos);
      strstart = last;
      match_available = false;
      match_length = kMinMatch - 1;
      ++strstart;
      if (full) FlushBlock(false);
    } else if (match_available) {
      if (block.TallyLiteral(window[strstart - 1])) FlushBlock(false);
      ++strstart;
      --lookahead;
    } else {
      match_available = true;
      ++strstart;
      --lookahead;
    }
    if (block.write_failed()) return false;
  }
  if (match_available) block.TallyLiteral(window[strstart - 1]);
  FlushBlock(true);
  return true;
}

// Nothing is cleared here: a position's `prev` entry is written when the position is inserted, before
// any chain can lead to it, and the window is read only where input was placed or in the bytes past
// its end, which are cleared when the input ends. Clearing the 128 KiB would cost a small file more
// than compressing it.
CDeflater::CDeflater() : s_(new State) {
  static_assert(sizeof(State) <= 350 * 1024, "the compressor's state is bounded whatever the input");
}

CDeflater::~CDeflater() = default;

DeflateStatus CDeflater::Compress(DeflateInput& in, uint8_t* work, size_t work_size, DeflateOutput& out,
                                  uint64_t* compressed) {
  State& s = *s_;
  s.Reset(&in);
  s.block.Begin(work, work_size, &out);
  bool ran = s.Run();
  bool finished = ran && s.block.Finish();
  if (compressed) *compressed = s.block.bytes_out();
  if (s.read_failed) return DeflateStatus::ReadFailed;
  if (!finished || s.block.write_failed()) return DeflateStatus::WriteFailed;
  if (*s.block.error()) return DeflateStatus::Inconsistent;
  return DeflateStatus::Ok;
}

const char* CDeflater::error_text() const { return s_->block.error(); }

namespace {

class MemoryInput : public DeflateInput {
 public:
  MemoryInput(const uint8_t* data, size_t len) : data_(data), left_(len) {}
  long Read(uint8_t* buf, size_t max) override {
    size_t n = left_ < max ? left_ : max;
    if (n) memcpy(buf, data_, n);
    data_ += n;
    left_ -= n;
    return long(n);
  }

 private:
  const uint8_t* data_;
  size_t left_;
};

class VectorOutput : public DeflateOutput {
 public:
  explicit VectorOutput(std::vector<uint8_t>* v) : v_(v) {}
  bool Write(const uint8_t* data, size_t len) override {
    v_->insert(v_->end(), data, data + len);
    return true;
  }

 private:
  std::vector<uint8_t>* v_;
};

}  // namespace

std::vector<uint8_t> DeflateBuffer(const uint8_t* data, size_t len) {
  std::vector<uint8_t> result;
  result.reserve(len / 2 + 1024);  // most inputs need no growing, so a benchmark times the compressor
  CDeflater deflater;
  MemoryInput in(data, len);
  VectorOutput out(&result);
  uint8_t work[16384];
  if (deflater.Compress(in, work, sizeof(work), out, nullptr) != DeflateStatus::Ok) result.clear();
  return result;
}

}  // namespace zip
