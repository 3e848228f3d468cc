#pragma once
// The one JSON document --json prints for every outcome: a run of boards, the port list,
// bad input and argument errors alike. docs/json.md describes it field by field, with a
// JSON Schema and an example of each outcome; the tests hold every document the program
// prints against that schema.
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "link/uPortList.h"
#include "uCliRun.h"

// Raised whenever a field is removed or changes its meaning; new fields keep it.
inline constexpr int JsonSchemaVersion = 1;

// The document's frame, with empty "boards" and "ports": the command (empty when none
// was recognised), the exit status, whether a stop request ended the run, and the
// messages of bad input and the warnings.
nlohmann::ordered_json JsonDocument(const std::string& Command, int ExitStatus, bool Stopped,
                                    const std::vector<std::string>& Errors,
                                    const std::vector<std::string>& Warnings);

// A port as the system lists it, with its driver and USB details (null where unknown).
nlohmann::ordered_json JsonPort(const TSystemPort& Port);
// A network port or a port the system does not list: its name, nothing else known.
nlohmann::ordered_json JsonPortName(const std::string& Name);

// One board: its port and Device (the system's entry, null for none), the chip, its MAC,
// the result, and one entry per image of Images with the size the checks found
// (Sizes) and what the run did with it.
nlohmann::ordered_json JsonBoard(const TBoardResult& Board, const TSystemPort* Device,
                                 const std::vector<TFlashImage>& Images,
                                 const std::vector<uint64_t>& Sizes);
