#pragma once
// The flash the program writes, as the loader and the stub are told about it, and the
// loader's time limits. Time limits are in milliseconds and hold for each byte of an
// answer separately.
#include <cstdint>

// ---- flash geometry ----
constexpr uint32_t EspFlashSize = 4u << 20;   // the modules this tool targets
constexpr uint32_t EspSectorSize = 4096;      // the smallest erase; images start on one
constexpr uint32_t EspEraseBlockSize = 65536; // the flash chip's large erase block
constexpr uint32_t EspPageSize = 256;         // what one program command writes at most
constexpr uint32_t EspWriteBlockSize = 16384; // a FLASH_DATA block through the stub
constexpr uint32_t EspRomBlockSize = 1024;    // a FLASH_DATA block through the ROM loader
constexpr uint32_t EspRomEraseStep = 65536;   // whole-flash erase in the ROM: one FLASH_BEGIN each

// The fast stub addresses with three bytes, as the standard one: parts larger than this
// are used up to it.
constexpr uint32_t EspFastFlashMax = 16u << 20;

// ---- time limits of the answers ----
constexpr int EspSyncAnswerMs = 200;  // SYNC, during the connect sequence
constexpr int EspChangeBaudMs = 200;  // CHANGE_BAUDRATE (answered at the old rate)
constexpr int EspRegisterMs = 300;    // READ_REG and WRITE_REG
constexpr int EspSpiAttachMs = 100;   // SPI_ATTACH to the stub
constexpr int EspEraseChipMs = 20000; // ERASE_FLASH: the stub sends keep-alive bytes meanwhile
constexpr int EspFlashBeginMs = 5000; // FLASH_BEGIN to the stub (it erases later, block by block)
constexpr int EspFlashDataMs = 2000;  // FLASH_DATA
constexpr int EspMemBeginMs = 200;    // MEM_BEGIN of the stub upload
constexpr int EspMemDataMs = 500;     // MEM_DATA of the stub upload
constexpr int EspMemEndMs = 200;      // MEM_END, which starts the stub
constexpr int EspGreetingMs = 200;    // the started stub's greeting
constexpr int EspRomSetupMs = 1000;   // SPI_ATTACH and SPI_SET_PARAMS to the ROM: answered at once
// The fast stub: its greeting after a set-up that clears some 100 KiB of RAM, the
// commands it answers at once, and those whose answers wait for the flash (a WRITE_DATA
// until its piece has room, WRITE_END until all is written, a digest until all is read),
// with a keep-alive byte at least every 500 ms meanwhile.
constexpr int EspFastGreetingMs = 500;
constexpr int EspFastSetupMs = 1000;
constexpr int EspFastWorkMs = 3000;
// The ROM answers FLASH_BEGIN only once it has erased the region: the worst-case erase
// time of one sector in the flash parts' datasheets, per sector, on top of a margin.
constexpr int EspSectorEraseMaxMs = 400;
constexpr int EspRomAnswerMarginMs = 3000;
