#pragma once
// The board's own serial output: `monitor` and `flash --monitor`. The board is reset into
// its application (DTR and RTS released, EN pulsed low through RTS) and what it sends is
// shown as text until a stop request.
#include <cstdint>
#include <string>

#include "uCliOutput.h"
#include "uCliStop.h"

// Bytes as text: UTF-8 and the usual line controls (LF, CR, TAB) as they are, every
// other byte (a control character, a byte of no valid UTF-8 sequence) as \xNN. A
// sequence cut between two reads is held until its end arrives.
class TTextEscaper {
public:
  std::string Feed(const uint8_t* Data, size_t Size);
  // What is still held, escaped: the stream ended inside a sequence.
  std::string Finish();

private:
  std::string FHeld;
};

// Opens Port at Baud, resets the board into its application and writes what it sends
// to stdout until Stop is requested; returns the exit status: ExitStopped then, 1 when
// the port failed (its message on stderr). Quiet leaves out the line that says what runs.
int RunMonitor(const std::string& Port, uint32_t Baud, bool Quiet, TCliOutput& Out, TCliStop& Stop);
