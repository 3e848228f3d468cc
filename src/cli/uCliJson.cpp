#include "uCliJson.h"

using json = nlohmann::ordered_json;

namespace {

json TextOrNull(const std::string& s) {
  return s.empty() ? json() : json(s);
}

const char* OutcomeName(TImageOutcome O) {
  switch (O) {
  case TImageOutcome::NotStarted:
    break;
  case TImageOutcome::Incomplete:
    return "incomplete";
  case TImageOutcome::Written:
    return "written";
  case TImageOutcome::Unchanged:
    return "unchanged";
  case TImageOutcome::SectorsRewritten:
    return "sectors_rewritten";
  }
  return "not_started";
}

} // namespace

json JsonDocument(const std::string& Command, int ExitStatus, bool Stopped,
                  const std::vector<std::string>& Errors,
                  const std::vector<std::string>& Warnings) {
  return json{{"schema", JsonSchemaVersion},
              {"program", "quorvex-cli"},
              {"command", TextOrNull(Command)},
              {"ok", ExitStatus == 0},
              {"exit_status", ExitStatus},
              {"stopped", Stopped},
              {"errors", Errors},
              {"warnings", Warnings},
              {"boards", json::array()},
              {"ports", json::array()}};
}

json JsonPort(const TSystemPort& Port) {
  json Usb;
  if (Port.Usb.Known())
    Usb = json{{"vid", Port.Usb.Vid},
               {"pid", TextOrNull(Port.Usb.Pid)},
               {"manufacturer", TextOrNull(Port.Usb.Manufacturer)},
               {"product", TextOrNull(Port.Usb.Product)},
               {"serial", TextOrNull(Port.Usb.Serial)}};
  return json{{"name", Port.Name}, {"driver", TextOrNull(Port.Driver)}, {"usb", Usb}};
}

json JsonPortName(const std::string& Name) {
  return JsonPort(TSystemPort{Name, {}, {}});
}

json JsonBoard(const TBoardResult& B, const TSystemPort* Device,
               const std::vector<TFlashImage>& Images, const std::vector<uint64_t>& Sizes) {
  json Ims = json::array();
  for (size_t i = 0; i < Images.size(); ++i) {
    const TImageReport Report = i < B.Result.Images.size() ? B.Result.Images[i] : TImageReport{};
    Ims.push_back(
        {{"file", Images[i].FileName},
         {"kind", ImageKindName(Images[i].Kind)},
         {"offset", Images[i].Offset},
         {"size", i < Sizes.size() ? Sizes[i] : Report.Size},
         {"result", OutcomeName(Report.Outcome)},
         {"bytes_sent", Report.BytesSent},
         {"sectors_rewritten",
          Report.SectorsRewritten < 0 ? json() : json(Report.SectorsRewritten)},
         {"sectors_skipped", Report.SectorsSkipped < 0 ? json() : json(Report.SectorsSkipped)},
         {"verified", Report.Verified},
         {"seconds", Report.Seconds}});
  }
  const char* Result = B.Result.Ok ? "ok" : B.Result.Stopped ? "stopped" : "failed";
  return json{{"port", B.Port},
              {"device", Device ? JsonPort(*Device) : json()},
              {"result", Result},
              {"ok", B.Result.Ok},
              {"stopped", B.Result.Stopped},
              {"message", B.Result.Message},
              {"chip", TextOrNull(B.Chip)},
              {"mac", TextOrNull(B.Mac)},
              {"flash_size", B.Result.PartKnown ? json(B.Result.Part.Size) : json()},
              {"seconds", B.Seconds},
              {"images", Ims}};
}
