// Fuzz target: the fast stub's inflater against zlib. The first byte chooses what the
// rest is: a raw deflate stream as it stands (0..127), or data that zlib compresses
// first with the level and strategy the byte names (128..255), so that both the
// refusals and the long valid streams get explored. The stream is fed in pieces and
// through a ring of the sizes the next bytes choose. The inflater must give exactly
// zlib's output when zlib accepts the stream, refuse it when zlib does, never accept
// one that zlib could not finish, and (under the sanitizers) never touch memory outside
// its state, its input and its ring.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "InflateRun.h"

namespace {

using TBytes = std::vector<uint8_t>;
constexpr size_t Cap = 1u << 18; // zlib's output beyond this: not compared

TBytes Compress(const uint8_t* p, size_t n, int Level, int Strategy) {
  z_stream s{};
  if (deflateInit2(&s, Level, Z_DEFLATED, -15, 8, Strategy) != Z_OK) std::abort();
  TBytes Out(deflateBound(&s, uLong(n)) + 16);
  s.next_in = const_cast<Bytef*>(p);
  s.avail_in = uInt(n);
  s.next_out = Out.data();
  s.avail_out = uInt(Out.size());
  if (deflate(&s, Z_FINISH) != Z_STREAM_END) std::abort();
  Out.resize(s.total_out);
  deflateEnd(&s);
  return Out;
}

// zlib's verdict: Z_STREAM_END, Z_DATA_ERROR, Z_BUF_ERROR (input ended first), or
// Z_MEM_ERROR standing for "more output than Cap".
int ZlibInflate(const TBytes& In, TBytes& Out) {
  z_stream s{};
  if (inflateInit2(&s, -15) != Z_OK) std::abort();
  Out.assign(Cap + 1, 0);
  s.next_in = const_cast<Bytef*>(In.data());
  s.avail_in = uInt(In.size());
  s.next_out = Out.data();
  s.avail_out = uInt(Out.size());
  int r = inflate(&s, Z_FINISH);
  if (r == Z_BUF_ERROR && s.avail_out == 0) r = Z_MEM_ERROR;
  Out.resize(s.total_out);
  inflateEnd(&s);
  return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 3) return 0;
  const uint8_t Mode = Data[0];
  const size_t Piece = size_t(Data[1] % 64) + 1 + (Data[1] & 0x40 ? 16000 : 0);
  const uint32_t Step = uint32_t(Data[2] % 200) + 1 + (Data[2] & 0x80 ? 70000 : 0);
  const uint32_t RingBits = 15 + (Data[2] & 1);
  Data += 3;
  Size -= 3;
  TBytes Stream;
  if (Mode < 128) {
    Stream.assign(Data, Data + Size);
  } else {
    static const int Strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE,
                                     Z_FIXED};
    Stream = Compress(Data, Size, Mode % 10, Strategies[(Mode / 10) % 5]);
  }
  TBytes Want;
  const int Z = ZlibInflate(Stream, Want);
  if (Z == Z_MEM_ERROR) return 0;
  const TInflated R = InflateStream(Stream.data(), Stream.size(), Piece, Step, RingBits, Cap);
  switch (Z) {
  case Z_STREAM_END:
    if (R.Result != STUB_Z_END || R.Out != Want) std::abort();
    if (Mode >= 128 && (R.Used != Stream.size() || R.Out != TBytes(Data, Data + Size)))
      std::abort();
    break;
  case Z_DATA_ERROR:
    if (R.Result != STUB_Z_ERROR) std::abort();
    break;
  default:
    // The input ended before zlib saw the stream's end. Wanting more is the answer; a
    // refusal is as good where the stream can no longer become valid (an empty
    // code-length code: zlib reads on through the lengths it gives before it refuses).
    if (R.Result == STUB_Z_END) std::abort();
    break;
  }
  return 0;
}
