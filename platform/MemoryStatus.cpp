#include "platform/MemoryStatus.h"

#include <sys/sysinfo.h>

#include <fstream>
#include <map>
#include <sstream>

namespace quellmarin {

uint32_t MemoryLoadPercent(uint64_t Total, uint64_t Avail) {
  if (Total == 0) return 0;
  if (Avail > Total) Avail = Total;
  // In long double, so that Used * 100 cannot overflow.
  const long double Used = static_cast<long double>(Total - Avail);
  return static_cast<uint32_t>(Used * 100.0L / static_cast<long double>(Total) + 0.5L);
}

bool ParseMemInfo(const std::string& Text, TMemoryStatus& Status) {
  // Every "Name: value [kB]" line, in bytes.
  std::map<std::string, uint64_t> Values;
  std::istringstream In(Text);
  std::string Line;
  while (std::getline(In, Line)) {
    const size_t Colon = Line.find(':');
    if (Colon == std::string::npos || Colon == 0) continue;
    std::istringstream Rest(Line.substr(Colon + 1));
    unsigned long long Value = 0;
    if (!(Rest >> Value)) continue;
    std::string Unit;
    Rest >> Unit;
    uint64_t Scale = 1;
    if (Unit == "kB")
      Scale = 1024;
    else if (!Unit.empty())
      continue;  // a unit we do not know: leave the figure out
    if (Value > UINT64_MAX / Scale) continue;
    Values[Line.substr(0, Colon)] = Value * Scale;
  }
  auto Find = [&](const char* Name, uint64_t& Value) {
    const auto It = Values.find(Name);
    if (It == Values.end()) return false;
    Value = It->second;
    return true;
  };

  uint64_t Total = 0;
  if (!Find("MemTotal", Total) || Total == 0) return false;
  uint64_t Avail = 0;
  if (!Find("MemAvailable", Avail)) {
    uint64_t Free = 0, Buffers = 0, Cached = 0;
    Find("MemFree", Free);
    Find("Buffers", Buffers);
    Find("Cached", Cached);
    Avail = Free + Buffers + Cached;
  }
  if (Avail > Total) Avail = Total;
  Status.TotalPhys = Total;
  Status.AvailPhys = Avail;
  Status.MemoryLoad = MemoryLoadPercent(Total, Avail);
  return true;
}

TMemoryStatus GlobalMemoryStatus() {
  TMemoryStatus Status;
  std::ifstream File("/proc/meminfo");
  if (File) {
    std::ostringstream Text;
    Text << File.rdbuf();
    if (ParseMemInfo(Text.str(), Status)) return Status;
  }
  struct sysinfo Info {};
  if (sysinfo(&Info) == 0) {
    const uint64_t Unit = Info.mem_unit ? Info.mem_unit : 1;
    Status.TotalPhys = static_cast<uint64_t>(Info.totalram) * Unit;
    Status.AvailPhys = (static_cast<uint64_t>(Info.freeram) + Info.bufferram) * Unit;
    if (Status.AvailPhys > Status.TotalPhys) Status.AvailPhys = Status.TotalPhys;
    Status.MemoryLoad = MemoryLoadPercent(Status.TotalPhys, Status.AvailPhys);
  }
  return Status;
}

}  // namespace quellmarin
