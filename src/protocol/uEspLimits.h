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
// The ROM answers FLASH_BEGIN only once it has erased the region: the worst-case erase
// time of one sector in the flash parts' datasheets, per sector, on top of a margin.
constexpr int EspSectorEraseMaxMs = 400;
constexpr int EspRomAnswerMarginMs = 3000;
