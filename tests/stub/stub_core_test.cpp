// The flasher stub's protocol core, run on the host against a simulated UART
// and SPI NOR flash (StubSim).
#include <gtest/gtest.h>

#include <memory>
#include <numeric>

#include "StubSim.h"
#include "StubWire.h"
#include "VbSfdp.h"
#include "stub_core.h"
#include "stub_map_esp32.h"

namespace {

constexpr uint8_t FLASH_BEGIN = 0x02, FLASH_DATA = 0x03, FLASH_END = 0x04, WRITE_REG = 0x09,
                  READ_REG = 0x0A, SPI_ATTACH = 0x0D, CHANGE_BAUDRATE = 0x0F, ERASE_FLASH = 0xD0;

TBytes Pattern(size_t n, uint32_t Seed) {
  TBytes b(n);
  for (size_t i = 0; i < n; ++i) {
    Seed = Seed * 1103515245u + 12345u;
    b[i] = uint8_t(Seed >> 16);
  }
  return b;
}

TBytes Begin(uint32_t Offset, uint32_t Size, uint32_t BlockSize) {
  uint32_t Blocks = (Size + BlockSize - 1) / BlockSize;
  return Request(FLASH_BEGIN, Words({Blocks * BlockSize, Blocks, BlockSize, Offset}));
}

// Feeds Bytes to the core and runs it until the input is used up and the
// flash work it started is done; the answers it sent meanwhile.
std::vector<TAnswer> RunCore(TStubSim& Sim, stub* S, const TBytes& Bytes, size_t* Stray = nullptr) {
  Sim.Out.clear();
  Sim.In.assign(Bytes.begin(), Bytes.end());
  while (stub_service(S)) {
  }
  return Answers(Sim.Out, Stray);
}

// An image as the program sends it: FLASH_BEGIN, the blocks, FLASH_END.
TBytes WriteRequests(uint32_t Offset, const TBytes& Image, uint32_t BlockSize = 16384) {
  TBytes In = Begin(Offset, uint32_t(Image.size()), BlockSize);
  for (uint32_t Seq = 0; Seq * BlockSize < Image.size(); ++Seq) {
    size_t From = size_t(Seq) * BlockSize, n = std::min<size_t>(BlockSize, Image.size() - From);
    In = Cat(In, FlashData(Seq, TBytes(Image.begin() + From, Image.begin() + From + n)));
  }
  return Cat(In, Request(FLASH_END, Words({1})));
}

class StubCore : public ::testing::Test {
protected:
  TStubSim Sim;
  std::unique_ptr<stub> S = std::make_unique<stub>();

  void SetUp() override {
    stub_init(S.get());
    Sim.Out.clear();
  }
  void TearDown() override {
    for (const auto& f : Sim.Faults)
      ADD_FAILURE() << "flash misuse: " << f;
  }
  std::vector<TAnswer> Run(const TBytes& Bytes, size_t* Stray = nullptr) {
    return RunCore(Sim, S.get(), Bytes, Stray);
  }
  TAnswer One(const TBytes& Bytes) {
    auto a = Run(Bytes);
    EXPECT_EQ(a.size(), 1u);
    return a.empty() ? TAnswer{} : a[0];
  }
  // Writes an image the way the program does and returns each block's answer.
  std::vector<TAnswer> Write(uint32_t Offset, const TBytes& Image, uint32_t BlockSize = 16384) {
    return Run(WriteRequests(Offset, Image, BlockSize));
  }
};

void ExpectAnswer(const TAnswer& a, uint8_t Cmd, uint8_t Status, uint8_t Error) {
  EXPECT_EQ(a.Dir, 1);
  EXPECT_EQ(a.Cmd, Cmd);
  EXPECT_EQ(a.Size, 2);
  ASSERT_EQ(a.Data.size(), 2u);
  EXPECT_EQ(a.Status(), Status);
  EXPECT_EQ(a.Error(), Error);
}
#define EXPECT_ANSWER(a, cmd, status, err) ExpectAnswer((a), (cmd), (status), (err))

TEST(StubArithmetic, ChecksumDivisionChunksAndBaudDivider) {
  const uint8_t d[] = {1, 2, 3, 4};
  EXPECT_EQ(stub_checksum(d, 0), 0xEFu);
  EXPECT_EQ(stub_checksum(d, 4), 0xEBu);

  for (auto [n, d2] : {std::pair{100u, 7u}, {0xFFFFFFFFu, 3u}, {5u, 9u}, {1280000000u, 921600u}})
    EXPECT_EQ(stub_udiv(n, d2), n / d2) << n << "/" << d2;
  EXPECT_EQ(stub_udiv(5, 0), 0u);

  struct {
    uint32_t Addr, Left, Want;
  } Chunks[] = {
      {0x1000, 16384, 64}, // buffer-bound
      {0x10F0, 1000, 16},  // page end at 0x1100
      {0x10C0, 64, 64},    // exactly to the page end
      {0x1000, 5, 5},      // what is left
      {0x10FF, 64, 1},     // last byte of a page
  };
  for (auto c : Chunks)
    EXPECT_EQ(stub_chunk_len(c.Addr, c.Left), c.Want) << std::hex << c.Addr;

  struct {
    uint32_t Div16, Old, New, Want;
  } Bauds[] = {
      {11111, 115200, 921600, 1389},      // 80 MHz UART clock
      {5556, 115200, 921600, 695},        // 40 MHz: taken from the divider in use
      {11111, 0, 115200, 11111},          // old rate unknown: 80 MHz assumed
      {11111, 115200, 0, 0},              // no new rate
      {11111, 115200, 1, 0},              // divider too large for 20 bits
      {11111, 115200, 100000000, 0},      // divider below 1
      {0xFFFFFFFF, 115200, 921600, 1389}, // product overflows: 80 MHz assumed
  };
  for (auto b : Bauds)
    EXPECT_EQ(stub_baud_divider(b.Div16, b.Old, b.New), b.Want) << b.Div16 << " " << b.New;
}

TEST(StubEsp32Map, RegisterAccessStaysInsideTheAddressMap) {
  // Edges of the ranges the target lets READ_REG and WRITE_REG touch; an
  // address outside them would fault the CPU and kill the stub.
  struct {
    uint32_t Addr;
    bool Mapped;
  } Cases[] = {
      {0x3FF00000, true},  {0x3FF5A004, true},  {0x3FF7FFFC, true},  {0x3FF81FFC, true},
      {0x3FF82000, false}, {0x3FF8FFFC, false}, {0x3FF90000, true},  {0x3FFA0000, false},
      {0x3FFAE000, true},  {0x3FFFFFFC, true},  {0x40000000, true},  {0x4005FFFC, true},
      {0x40060000, false}, {0x40070000, true},  {0x400C1FFC, true},  {0x400C2000, false},
      {0x400D0000, false}, {0x40400000, false}, {0x4FFFFFFC, false}, {0x50001FFC, true},
      {0x50002000, false}, {0x60000078, true},  {0x60040000, false}, {0x80000000, false},
      {0xFFFFFFFC, false}, {0x3F400000, false}, {0x3FF5A006, false}, {0x00000000, false},
  };
  for (auto c : Cases)
    EXPECT_EQ(stub_esp32_mapped(c.Addr) != 0, c.Mapped) << std::hex << c.Addr;
}

TEST_F(StubCore, GreetingIsOneFrameOfOhai) {
  stub_send_greeting();
  EXPECT_EQ(Sim.Out, (TBytes{0xC0, 'O', 'H', 'A', 'I', 0xC0}));
  EXPECT_EQ(Sim.Attaches, 1); // the flash is set up at start, without SPI_ATTACH
}

TEST_F(StubCore, SlipDecodingEscapesNoiseAndEmptyFrames) {
  // Address and value both need escaping, in the request and in the answer.
  Sim.Regs[0x3FF5C0DB] = 0xDBC0C0DB;
  TBytes In = Cat(TBytes{0x41, 0x42, 0xC0, 0xC0}, Request(READ_REG, Words({0x3FF5C0DB})));
  auto a = Run(In);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_ANSWER(a[0], READ_REG, 0, 0);
  EXPECT_EQ(a[0].Value, 0xDBC0C0DBu);
}

TEST_F(StubCore, MalformedFramesAreRefusedOrSkippedAndTheStreamStaysInStep) {
  Sim.Regs[0x1000] = 7;
  TBytes BadEscape = Request(READ_REG, Words({0x1000}));
  BadEscape.insert(BadEscape.begin() + 9, {0xDB, 0x41});
  TBytes Huge = Request(0x55, TBytes(STUB_FRAME_MAX + 100, 0x11)); // longer than any buffer
  TBytes Short = Slip({0x00, 0x0A, 0x04});                         // no full header: no answer
  TBytes Answer = Slip(Packet(0x0A, Words({0x1000}), 0));
  Answer[1] = 0x01; // a response, not a request
  TBytes SizeLies = Slip(Packet(READ_REG, Words({0x1000, 0}), 0));
  SizeLies[3] = 4; // header says 4, payload has 8
  auto a = Run(Cat(Cat(Cat(Cat(Cat(BadEscape, Huge), Short), Answer), SizeLies),
                   Request(READ_REG, Words({0x1000}))));
  ASSERT_EQ(a.size(), 4u);
  EXPECT_ANSWER(a[0], READ_REG, 1, STUB_ERR_INVALID);
  EXPECT_ANSWER(a[1], 0x55, 1, STUB_ERR_INVALID);
  EXPECT_ANSWER(a[2], READ_REG, 1, STUB_ERR_INVALID);
  EXPECT_ANSWER(a[3], READ_REG, 0, 0);
  EXPECT_EQ(a[3].Value, 7u);
}

TEST_F(StubCore, AFrameCutShortIsNotAnsweredAndTheStubStaysReady) {
  Sim.Regs[0x1000] = 7;
  for (TBytes In : {TBytes{0xC0, 0x00, 0x0A}, TBytes{0xC0, 0x00, 0xDB}, TBytes{0x41}}) {
    SCOPED_TRACE(In.size());
    Sim.Out.clear();
    Sim.In.assign(In.begin(), In.end());
    while (stub_service(S.get())) {
    }
    EXPECT_TRUE(Sim.Out.empty());
    // Nothing received and no flash work: the main loop has nothing to do.
    EXPECT_EQ(stub_service(S.get()), 0);
    // The partial frame ends at the next delimiter as a frame too short to
    // answer; a whole request after it is answered.
    auto a = Run(Cat(TBytes{0xC0}, Request(READ_REG, Words({0x1000}))));
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].Value, 7u);
  }
}

TEST_F(StubCore, EachCommandAnswersWithItsStatus) {
  Sim.Regs[0x3FF5A004] = 0x12345678;
  Sim.Regs[0x3FF00010] = 0xFFFF0000;
  struct {
    const char* Name;
    TBytes In;
    uint8_t Cmd, Status, Error;
    uint32_t Value;
  } Cases[] = {
      {"read", Request(READ_REG, Words({0x3FF5A004})), READ_REG, 0, 0, 0x12345678},
      {"read unmapped", Request(READ_REG, Words({0x0})), READ_REG, 1, STUB_ERR_INVALID, 0},
      {"read short", Request(READ_REG, TBytes{1, 2}), READ_REG, 1, STUB_ERR_INVALID, 0},
      {"write", Request(WRITE_REG, Words({0x3FF5A004, 5, 0xFFFFFFFF, 0})), WRITE_REG, 0, 0, 0},
      {"write unmapped", Request(WRITE_REG, Words({0x4, 5, 0xFFFFFFFF, 0})), WRITE_REG, 1,
       STUB_ERR_INVALID, 0},
      {"write short", Request(WRITE_REG, Words({0x3FF5A004, 5})), WRITE_REG, 1, STUB_ERR_INVALID,
       0},
      {"attach", Request(SPI_ATTACH, Words({0})), SPI_ATTACH, 0, 0, 0},
      {"attach other pins", Request(SPI_ATTACH, Words({1})), SPI_ATTACH, 1, STUB_ERR_INVALID, 0},
      {"end", Request(FLASH_END, Words({0})), FLASH_END, 0, 0, 0},
      {"erase with payload", Request(ERASE_FLASH, Words({0})), ERASE_FLASH, 1, STUB_ERR_INVALID, 0},
      {"baud zero", Request(CHANGE_BAUDRATE, Words({0, 115200})), CHANGE_BAUDRATE, 1,
       STUB_ERR_INVALID, 0},
      {"data before begin", FlashData(0, TBytes(4, 1)), FLASH_DATA, 1, STUB_ERR_FAILED, 0},
      {"unknown", Request(0x55, {}), 0x55, 1, STUB_ERR_INVALID, 0},
      {"loader-only opcode", Request(0x05, Words({0, 0, 0, 0})), 0x05, 1, STUB_ERR_INVALID, 0},
  };
  for (auto& c : Cases) {
    SCOPED_TRACE(c.Name);
    TAnswer a = One(c.In);
    EXPECT_ANSWER(a, c.Cmd, c.Status, c.Error);
    EXPECT_EQ(a.Value, c.Value);
  }
  EXPECT_EQ(Sim.Regs[0x3FF5A004], 5u);
  EXPECT_EQ(Sim.Attaches, 2);

  // A mask keeps the bits outside it.
  EXPECT_ANSWER(One(Request(WRITE_REG, Words({0x3FF00010, 0x1234, 0x0000FFFF, 0}))), WRITE_REG, 0,
                0);
  EXPECT_EQ(Sim.Regs[0x3FF00010], 0xFFFF1234u);
}

TEST_F(StubCore, ChangeBaudrateAnswersAtTheOldRateThenSwitches) {
  auto a = Run(Request(CHANGE_BAUDRATE, Words({921600, 115200})));
  ASSERT_EQ(a.size(), 1u);
  EXPECT_ANSWER(a[0], CHANGE_BAUDRATE, 0, 0);
  ASSERT_EQ(Sim.BaudSets, std::vector<uint32_t>{1389});
  // The whole answer was queued and drained before the divider changed.
  EXPECT_EQ(Sim.OutAtDrain, Sim.Out.size());
  EXPECT_EQ(Sim.OutAtBaudSet, Sim.Out.size());
}

TEST_F(StubCore, WritesImagesWithNorSemanticsAndErasesOnlyTheSectorsTheyCover) {
  // Flash that is not erased: an image that wrote over it without erasing
  // first would read back as zeros, and anything erased beyond it shows as 0xFF.
  std::fill(Sim.Flash.begin(), Sim.Flash.end(), uint8_t(0x00));
  TBytes Boot = Pattern(16385, 1); // one full block and one byte: 32 KiB announced
  auto a = Write(0x1000, Boot);
  ASSERT_EQ(a.size(), 4u);
  EXPECT_ANSWER(a[0], FLASH_BEGIN, 0, 0);
  EXPECT_ANSWER(a[1], FLASH_DATA, 0, 0);
  EXPECT_ANSWER(a[2], FLASH_DATA, 0, 0);
  EXPECT_ANSWER(a[3], FLASH_END, 0, 0);
  EXPECT_TRUE(std::equal(Boot.begin(), Boot.end(), Sim.Flash.begin() + 0x1000));
  // Exactly the five sectors the data reaches, the last one for its single byte.
  EXPECT_EQ(Sim.Ops,
            (std::vector<std::string>{"SE 1000", "SE 2000", "SE 3000", "SE 4000", "SE 5000"}));
  EXPECT_TRUE(std::all_of(Sim.Flash.begin() + 0x1000 + 16385, Sim.Flash.begin() + 0x6000,
                          [](uint8_t b) { return b == 0xFF; }));
  // The rest of the announced region (up to 0x9000) and what lies around it keep their bytes.
  EXPECT_TRUE(std::all_of(Sim.Flash.begin() + 0x6000, Sim.Flash.begin() + 0x9001,
                          [](uint8_t b) { return b == 0x00; }));
  EXPECT_EQ(Sim.Flash[0xFFF], 0x00);
}

TEST_F(StubCore, PartitionTableLeavesTheSettingsPartitionAfterItIntact) {
  // The usual layout: a 3 KiB partition table at 0x8000, settings (NVS) from
  // 0x9000 on, inside the 16 KiB the program announces for the table.
  TBytes Settings = Pattern(0xC000 - 0x9000, 5);
  std::copy(Settings.begin(), Settings.end(), Sim.Flash.begin() + 0x9000);
  std::fill(Sim.Flash.begin() + 0x8000, Sim.Flash.begin() + 0x9000, uint8_t(0x00)); // old table
  TBytes Table = Pattern(3072, 6);
  auto a = Write(0x8000, Table);
  ASSERT_EQ(a.size(), 3u);
  EXPECT_ANSWER(a[1], FLASH_DATA, 0, 0);
  EXPECT_TRUE(std::equal(Table.begin(), Table.end(), Sim.Flash.begin() + 0x8000));
  EXPECT_TRUE(std::all_of(Sim.Flash.begin() + 0x8000 + 3072, Sim.Flash.begin() + 0x9000,
                          [](uint8_t b) { return b == 0xFF; }));
  EXPECT_TRUE(std::equal(Settings.begin(), Settings.end(), Sim.Flash.begin() + 0x9000));
  EXPECT_EQ(Sim.Ops, std::vector<std::string>{"SE 8000"});
}

TEST_F(StubCore, ErasesAheadOnlyWhatTheDataCertainlyCoversWithLargeBlocksWhereWhole) {
  // FLASH_BEGIN's block count and size tell how far the data certainly
  // reaches (every block but the last is full). Between blocks the stub
  // erases what the next block will need, never beyond that reach, with
  // 64 KiB or 32 KiB erases where a whole aligned block lies inside it; the
  // last block's own sectors are erased when it comes. Each Run goes on
  // until the work its input started is done.
  struct {
    const char* Name;
    uint32_t Offset, BlockSize;
    std::vector<uint32_t> Lens;
    std::vector<std::string> AtBegin;              // erased after FLASH_BEGIN
    std::vector<std::vector<std::string>> AtBlock; // erased after each block
  } Cases[] = {
      {"16 KiB blocks: a whole 32 KiB block, no whole 64 KiB one",
       0x10000,
       0x4000,
       {0x4000, 0x4000, 0x1001},
       {"BE32 10000"},
       // The last block's first sector is certain too; only its second waits for it.
       {{}, {"SE 18000"}, {"SE 19000"}}},
      {"a 32 KiB erase only where aligned",
       0x4000,
       0x4000,
       {0x4000, 0x4000, 0x4000, 0x4000, 0x10},
       {"SE 4000", "SE 5000", "SE 6000", "SE 7000"},
       {{"BE32 8000"}, {}, {"SE 10000", "SE 11000", "SE 12000", "SE 13000"}, {"SE 14000"}, {}}},
      {"a whole 64 KiB block, then sectors",
       0x20000,
       0x4000,
       {0x4000, 0x4000, 0x4000, 0x4000, 0x4000, 0x10},
       {"BE 20000"},
       {{}, {}, {}, {"SE 30000", "SE 31000", "SE 32000", "SE 33000"}, {"SE 34000"}, {}}},
      {"blocks smaller than a sector share it",
       0x3000,
       0x600,
       {0x600, 0x600, 0x600, 0x600, 0x1},
       {"SE 3000"},
       {{}, {"SE 4000"}, {}, {}, {}}},
  };
  for (auto& c : Cases) {
    SCOPED_TRACE(c.Name);
    uint32_t Announced = uint32_t(c.Lens.size()) * c.BlockSize;
    // Old contents everywhere around: what is erased shows as 0xFF.
    std::fill(Sim.Flash.begin() + c.Offset, Sim.Flash.begin() + c.Offset + Announced + 0x20000,
              uint8_t(0x00));
    Sim.Ops.clear();
    // A far larger announced region changes nothing: only the block count counts.
    EXPECT_ANSWER(One(Request(FLASH_BEGIN, Words({Announced + 0x100000, uint32_t(c.Lens.size()),
                                                  c.BlockSize, c.Offset}))),
                  FLASH_BEGIN, 0, 0);
    EXPECT_EQ(Sim.Ops, c.AtBegin);
    uint32_t At = c.Offset;
    for (uint32_t Seq = 0; Seq < c.Lens.size(); ++Seq) {
      SCOPED_TRACE(Seq);
      TBytes Data = Pattern(c.Lens[Seq], Seq + 11);
      Sim.Ops.clear();
      EXPECT_ANSWER(One(FlashData(Seq, Data)), FLASH_DATA, 0, 0);
      EXPECT_EQ(Sim.Ops, c.AtBlock[Seq]);
      EXPECT_TRUE(std::equal(Data.begin(), Data.end(), Sim.Flash.begin() + At));
      At += c.Lens[Seq];
    }
    // The sector after the one holding the last byte keeps its contents.
    uint32_t NextSector = (At + 0xFFF) & ~0xFFFu;
    EXPECT_EQ(Sim.Flash[NextSector], 0x00);
  }
}

TEST_F(StubCore, EveryBlockButTheLastMustBeFull) {
  // Erasing ahead relies on it: a short block in the middle would leave a gap
  // of erased bytes that the image never fills.
  std::fill(Sim.Flash.begin() + 0x40000, Sim.Flash.begin() + 0x4C000, uint8_t(0x00));
  ASSERT_EQ(One(Begin(0x40000, 3 * 4096, 4096)).Status(), 0);
  EXPECT_ANSWER(One(FlashData(0, Pattern(4000, 1))), FLASH_DATA, 1, STUB_ERR_INVALID);
  EXPECT_ANSWER(One(FlashData(0, Pattern(4096, 1))), FLASH_DATA, 0, 0);
  EXPECT_ANSWER(One(FlashData(1, Pattern(4096, 2))), FLASH_DATA, 0, 0);
  EXPECT_ANSWER(One(FlashData(2, Pattern(100, 3))), FLASH_DATA, 0, 0); // the last may be short
  EXPECT_EQ(Sim.Flash[0x43000], 0x00);
}

TEST_F(StubCore, BlocksThatStraddlePagesAreSplitAtPageEnds) {
  // 100-byte blocks start at every odd place in a page; a chunk that crossed
  // a page end would wrap inside the page on a real part (and in the sim).
  TBytes Image = Pattern(1000, 7);
  auto a = Write(0x3000, Image, 100);
  ASSERT_EQ(a.size(), 12u);
  for (size_t i = 1; i < 11; ++i)
    EXPECT_ANSWER(a[i], FLASH_DATA, 0, 0);
  EXPECT_TRUE(std::equal(Image.begin(), Image.end(), Sim.Flash.begin() + 0x3000));
}

TEST_F(StubCore, FlashDataErrorsLeaveTheFlashAndTheSequenceAsTheyWere) {
  std::fill(Sim.Flash.begin() + 0x10000, Sim.Flash.begin() + 0x12000, uint8_t(0x00));
  ASSERT_EQ(One(Begin(0x10000, 8192, 4096)).Status(), 0);
  TBytes Block = Pattern(4096, 3);
  TBytes BadSum = Slip(Packet(FLASH_DATA, Cat(Words({4096, 0, 0, 0}), Block),
                              ProgramChecksum(Cat(Words({4096, 0, 0, 0}), Block)) ^ 1));
  TBytes SizeWord = Request(FLASH_DATA, Cat(Words({4095, 0, 0, 0}), Block));
  struct {
    const char* Name;
    TBytes In;
    uint8_t Error;
  } Cases[] = {
      {"checksum", BadSum, STUB_ERR_CHECKSUM},
      {"sequence ahead", FlashData(1, Block), STUB_ERR_INVALID},
      {"size word", SizeWord, STUB_ERR_INVALID},
      {"larger than a block", FlashData(0, Pattern(4097, 1)), STUB_ERR_INVALID},
      {"empty", FlashData(0, {}), STUB_ERR_INVALID},
  };
  for (auto& c : Cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_ANSWER(One(c.In), FLASH_DATA, 1, c.Error);
    // Block 0's sector was erased ahead (the data certainly covers it), but
    // nothing was written into it, and block 1's sector was not touched.
    EXPECT_TRUE(std::all_of(Sim.Flash.begin() + 0x10000, Sim.Flash.begin() + 0x11000,
                            [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(Sim.Flash[0x11000], 0x00);
  }
  // Block 0 is still the one expected, then 1; a third is beyond the announced region.
  EXPECT_ANSWER(One(FlashData(0, Block)), FLASH_DATA, 0, 0);
  EXPECT_ANSWER(One(FlashData(0, Block)), FLASH_DATA, 1, STUB_ERR_INVALID);
  EXPECT_ANSWER(One(FlashData(1, Block)), FLASH_DATA, 0, 0);
  EXPECT_ANSWER(One(FlashData(2, Block)), FLASH_DATA, 1, STUB_ERR_INVALID);
  EXPECT_TRUE(std::equal(Block.begin(), Block.end(), Sim.Flash.begin() + 0x11000));
  // After FLASH_END no block is taken.
  EXPECT_ANSWER(One(Request(FLASH_END, {})), FLASH_END, 0, 0);
  EXPECT_ANSWER(One(FlashData(2, Block)), FLASH_DATA, 1, STUB_ERR_FAILED);
}

TEST_F(StubCore, FlashBeginRefusesRegionsItCannotWriteSafely) {
  std::fill(Sim.Flash.begin(), Sim.Flash.end(), uint8_t(0x00));
  struct {
    const char* Name;
    uint32_t Erase, Blocks, BlockSize, Offset;
  } Cases[] = {
      {"block size 0", 4096, 1, 0, 0x1000},
      {"block too large", 32768, 1, 32768, 0x1000},
      {"unaligned offset", 4096, 1, 4096, 0x1800},
      {"past 16 MiB", 0x2000, 2, 4096, 0xFFF000},
      {"erase size wraps", 0xFFFFFFFF, 1, 4096, 0x1000},
      {"offset wraps", 4096, 1, 4096, 0xFFFFF000},
  };
  for (auto& c : Cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_ANSWER(One(Request(FLASH_BEGIN, Words({c.Erase, c.Blocks, c.BlockSize, c.Offset}))),
                  FLASH_BEGIN, 1, STUB_ERR_INVALID);
  }
  EXPECT_TRUE(Sim.Ops.empty());
  EXPECT_ANSWER(One(FlashData(0, TBytes(16, 1))), FLASH_DATA, 1, STUB_ERR_FAILED);
}

TEST_F(StubCore, EraseFlashErasesTheChipAndClearsProtectionFirst) {
  std::fill(Sim.Flash.begin(), Sim.Flash.end(), uint8_t(0x5A));
  Sim.Sr1 = 0x1C; // block protection set
  Sim.Sr2 = 0x02; // quad enable: must survive
  EXPECT_ANSWER(One(Request(ERASE_FLASH, {})), ERASE_FLASH, 0, 0);
  EXPECT_EQ(Sim.Ops, (std::vector<std::string>{"WRSR 0 2", "CE"}));
  EXPECT_TRUE(std::all_of(Sim.Flash.begin(), Sim.Flash.end(), [](uint8_t b) { return b == 0xFF; }));
}

// The sectors [From, To) as the simulation logs their erases.
std::vector<std::string> SectorErases(uint32_t From, uint32_t To) {
  std::vector<std::string> e;
  for (uint32_t a = From; a < To; a += 0x1000) {
    char b[16];
    std::snprintf(b, sizeof b, "SE %X", unsigned(a));
    e.push_back(b);
  }
  return e;
}

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(StubPart, EraseUnitsComeFromThePartsOwnTableOrItsMaker) {
  // The stub reads the part's SFDP table when it starts: a 32 KiB erase only
  // where the table lists 0x52 as 32 KiB, a 64 KiB one where the table or
  // the maker confirms 0xD8, 4 KiB sectors otherwise. What it found is the
  // value of its ERASE_FLASH answer. The image (0x10000, 6 blocks and 16
  // bytes) allows a 64 KiB erase at 0x10000 and a 32 KiB one at 0x20000.
  using vboard::SfdpImage;
  using vboard::TSfdpLayout;
  const auto All = SfdpImage({{12, 0x20}, {15, 0x52}, {16, 0xD8}});
  const auto Large = Join({"BE 10000", "BE32 20000"}, SectorErases(0x28000, 0x29000));
  const auto Only64 = Join({"BE 10000"}, SectorErases(0x20000, 0x29000));
  const auto Sectors = SectorErases(0x10000, 0x29000);
  const uint32_t Sfdp = STUB_PART_SFDP, E32 = STUB_PART_ERASE32, E64 = STUB_PART_ERASE64,
                 Sr2 = STUB_PART_SR2;
  struct {
    const char* Name;
    uint8_t Maker;
    std::vector<uint8_t> Table;
    uint32_t Erase52; // what 0x52 really erases on the part
    uint32_t Facts;
    std::vector<std::string> Erases;
  } Cases[] = {
      {"Winbond, full table", 0xEF, All, 0x8000, 0xEF | Sfdp | E32 | E64 | Sr2, Large},
      {"Winbond, no table: the maker confirms 64 KiB", 0xEF, {}, 0x8000, 0xEF | E64 | Sr2, Only64},
      {"the table lists 0x52 as 64 KiB", 0xEF, SfdpImage({{12, 0x20}, {16, 0x52}, {16, 0xD8}}),
       0x10000, 0xEF | Sfdp | E64 | Sr2, Only64},
      {"the basic table elsewhere", 0xEF,
       SfdpImage({{12, 0x20}, {15, 0x52}, {16, 0xD8}}, TSfdpLayout{.TableAt = 0x80}), 0x8000,
       0xEF | Sfdp | E32 | E64 | Sr2, Large},
      {"no SFDP signature", 0xEF,
       SfdpImage({{12, 0x20}, {15, 0x52}, {16, 0xD8}}, TSfdpLayout{.Signature0 = 'X'}), 0x8000,
       0xEF | E64 | Sr2, Only64},
      {"the first parameter table is not the basic one", 0xEF,
       SfdpImage({{12, 0x20}, {15, 0x52}, {16, 0xD8}}, TSfdpLayout{.TableId = 0x81}), 0x8000,
       0xEF | E64 | Sr2, Only64},
      {"a basic table of another major revision", 0xEF,
       SfdpImage({{12, 0x20}, {15, 0x52}, {16, 0xD8}}, TSfdpLayout{.TableMajor = 2}), 0x8000,
       0xEF | E64 | Sr2, Only64},
      {"a basic table too short for the erase types", 0xEF,
       SfdpImage({{12, 0x20}, {15, 0x52}, {16, 0xD8}}, TSfdpLayout{.TableWords = 8}), 0x8000,
       0xEF | E64 | Sr2, Only64},
      {"unknown maker, no table: sectors only", 0x1C, {}, 0x10000, 0x1C, Sectors},
      {"unknown maker, full table", 0x1C, All, 0x8000, 0x1C | Sfdp | E32 | E64, Large},
      {"unknown maker, table without 32 KiB", 0x1C, SfdpImage({{12, 0x20}, {16, 0xD8}}), 0x10000,
       0x1C | Sfdp | E64, Only64},
      {"Macronix, no table", 0xC2, {}, 0x10000, 0xC2 | E64, Only64},
      {"ISSI, no table", 0x9D, {}, 0x8000, 0x9D | E64, Only64},
      {"GigaDevice, no table", 0xC8, {}, 0x8000, 0xC8 | E64 | Sr2, Only64},
  };
  for (const auto& c : Cases) {
    SCOPED_TRACE(c.Name);
    TStubSim Part;
    Part.Maker = c.Maker;
    Part.Sfdp = c.Table;
    Part.Erase52 = c.Erase52;
    auto Core = std::make_unique<stub>();
    stub_init(Core.get());
    std::fill(Part.Flash.begin(), Part.Flash.end(), uint8_t(0x00));
    const TBytes Image = Pattern(6 * 16384 + 16, 4);
    for (const TAnswer& a : RunCore(Part, Core.get(), WriteRequests(0x10000, Image)))
      EXPECT_EQ(a.Status(), 0);
    EXPECT_EQ(Part.Ops, c.Erases);
    EXPECT_TRUE(std::equal(Image.begin(), Image.end(), Part.Flash.begin() + 0x10000));
    // Nothing outside the image's sectors was erased.
    EXPECT_TRUE(std::all_of(Part.Flash.begin(), Part.Flash.begin() + 0x10000,
                            [](uint8_t b) { return b == 0x00; }));
    EXPECT_TRUE(std::all_of(Part.Flash.begin() + 0x29000, Part.Flash.begin() + 0x40000,
                            [](uint8_t b) { return b == 0x00; }));
    auto e = RunCore(Part, Core.get(), Request(ERASE_FLASH, {}));
    ASSERT_EQ(e.size(), 1u);
    EXPECT_ANSWER(e[0], ERASE_FLASH, 0, 0);
    EXPECT_EQ(e[0].Value, c.Facts) << std::hex << e[0].Value;
    EXPECT_TRUE(Part.Faults.empty()) << Part.Faults.front();
  }
}

TEST(StubPart, AResetWaitsForTheWorkAPreviousProgramLeftRunning) {
  // A reset aborts a program or erase in progress (and what it was
  // writing): the stub waits for the part first, as long as the longest
  // block erase may take, and after a reset that cut an operation short
  // gives the part the longest recovery time before the next command.
  struct {
    const char* Name;
    int Busy;        // status polls the part stays busy for at the start
    bool Dead;       // no part answers
    bool ResetBusy;  // the reset had to cut an operation short
    uint32_t WaitMs; // the least time before the reset
    uint32_t MaxMs;  // and the most
  } Cases[] = {
      {"idle", 0, false, false, 0, 10},
      {"an erase left running", 300, false, false, 300, 1000},
      {"busy beyond the longest block erase", 1 << 30, false, true, STUB_WAIT_ERASE_MS,
       STUB_WAIT_ERASE_MS + 50},
      {"no part answers: nothing to wait for", 0, true, false, 0, 10},
  };
  for (const auto& c : Cases) {
    SCOPED_TRACE(c.Name);
    TStubSim Part;
    Part.CpuKhz = STUB_CLOCK_FAST_KHZ; // the limits are nominal at this clock
    Part.MillisStep = 1;
    Part.Busy = c.Busy;
    Part.Dead = c.Dead;
    auto Core = std::make_unique<stub>();
    stub_init(Core.get());
    auto At = [&](uint8_t Op) {
      for (const auto& x : Part.Cmds)
        if (x.Opcode == Op) return int64_t(x.Ms);
      return int64_t(-1);
    };
    ASSERT_GE(At(0x66), 0);
    ASSERT_GE(At(0x9F), 0);
    EXPECT_GE(At(0x66), int64_t(c.WaitMs));
    EXPECT_LE(At(0x66), int64_t(c.MaxMs));
    EXPECT_GE(At(0x9F) - At(0x99), c.ResetBusy ? 100 : 0);
    // Only a part busy for longer than any erase gets its reset while busy.
    std::vector<std::string> Want;
    if (c.ResetBusy) Want = {"command 66 while busy", "command 99 while busy"};
    EXPECT_EQ(Part.Faults, Want);
  }
}

TEST_F(StubCore, HardwareFailuresAreReportedNotHidden) {
  {
    SCOPED_TRACE("no flash answers");
    Sim.Dead = true;
    EXPECT_ANSWER(One(Begin(0x1000, 4096, 4096)), FLASH_BEGIN, 1, STUB_ERR_FAILED);
    EXPECT_ANSWER(One(Request(ERASE_FLASH, {})), ERASE_FLASH, 1, STUB_ERR_FAILED);
    Sim.Dead = false;
  }
  {
    SCOPED_TRACE("programs change nothing");
    std::fill(Sim.Flash.begin(), Sim.Flash.end(), uint8_t(0x00));
    Sim.DropPrograms = true;
    auto a = Write(0x2000, Pattern(300, 9));
    ASSERT_EQ(a.size(), 3u);
    EXPECT_ANSWER(a[1], FLASH_DATA, 1, STUB_ERR_FLASH_WRITE);
    Sim.DropPrograms = false;
  }
  {
    SCOPED_TRACE("busy before anything starts");
    Sim.StuckBusy = true;
    Sim.Ops.clear();
    std::fill(Sim.Flash.begin() + 0x1000, Sim.Flash.begin() + 0x2000, uint8_t(0x00));
    // FLASH_BEGIN does no flash work; the first block finds the part busy.
    auto a = Run(Cat(Begin(0x1000, 4096, 4096), FlashData(0, Pattern(4096, 4))));
    ASSERT_EQ(a.size(), 2u);
    EXPECT_ANSWER(a[1], FLASH_DATA, 1, STUB_ERR_FAILED);
    EXPECT_TRUE(Sim.Ops.empty());
    EXPECT_EQ(Sim.Flash[0x1000], 0x00);
    Sim.StuckBusy = false;
  }
  {
    SCOPED_TRACE("one block's many short waits add up");
    // Each erase and page program stays well under the keep-alive interval,
    // but a whole 16 KiB block's worth of them does not: the keep-alive
    // counts from the request, not from each wait.
    Sim.BusyPerOp = 4;
    Sim.MillisStep = 5;
    ASSERT_EQ(One(Begin(0x40000, 16384, 16384)).Status(), 0);
    uint32_t From = Sim.Millis;
    size_t Stray = 0;
    TBytes Data = Pattern(16384, 8);
    auto a = Run(FlashData(0, Data), &Stray);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_ANSWER(a[0], FLASH_DATA, 0, 0);
    double Elapsed = Sim.Millis - From, Every = Sim.MsOf(STUB_KEEPALIVE_TICKS);
    ASSERT_GT(Elapsed, 4 * Every);
    EXPECT_GE(Stray, size_t(Elapsed / Every) - 1);
    EXPECT_LE(Stray, size_t(Elapsed / Every) + 1);
    EXPECT_TRUE(std::equal(Data.begin(), Data.end(), Sim.Flash.begin() + 0x40000));
  }
}

TEST_F(StubCore, TimeLimitsHoldAtTheFastestClockAndKeepAlivesComeOftenAtTheSlowest) {
  // The CPU clock is not known: 26 MHz and 40 MHz crystals in the ROM loader,
  // up to 240 MHz if an application left the PLL running. A part that stays
  // busy must be given at least the nominal limit at every clock, and the
  // program (2 s per byte) must hear a keep-alive at least every 500 ms.
  struct {
    uint32_t CpuKhz;
  } Clocks[] = {{26000}, {40000}, {80000}, {240000}};
  for (auto c : Clocks) {
    SCOPED_TRACE(c.CpuKhz);
    TStubSim Part;
    Part.CpuKhz = c.CpuKhz;
    Part.BusyPerOp = 1 << 30; // the chip erase starts and never ends
    Part.MillisStep = 20;
    auto Core = std::make_unique<stub>();
    stub_init(Core.get());
    TBytes In = Request(ERASE_FLASH, {});
    Part.In.assign(In.begin(), In.end());
    uint32_t Start = Part.Millis, Last = Start;
    while (stub_service(Core.get())) {
    }
    auto a = Answers(Part.Out);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_ANSWER(a[0], ERASE_FLASH, 1, STUB_ERR_FAILED);
    EXPECT_GE(Part.Millis - Start, STUB_WAIT_CHIP_MS);
    uint32_t Gap = 0;
    for (size_t i = 0; i < Part.Out.size(); ++i) {
      if (Part.Out[i] != STUB_KEEPALIVE_BYTE) break; // the answer frame
      Gap = std::max(Gap, Part.OutMs[i] - Last);
      Last = Part.OutMs[i];
    }
    EXPECT_LE(Gap, STUB_KEEPALIVE_MS + 2 * Part.MillisStep);
    EXPECT_GT(Gap, 0u);
  }
}

} // namespace
