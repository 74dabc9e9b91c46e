#pragma once
// The machine's global memory status, as the about box shows it: the physical
// memory that is free for programs and how much of the physical memory is in
// use.
//
// The free figure is the kernel's MemAvailable from /proc/meminfo: the memory
// that new programs can have without the system swapping, which counts page
// cache and reclaimable kernel memory as free. The bare MemFree figure would
// sit near zero on any machine that has been running for a while, because
// Linux keeps unused memory as cache. Kernels without MemAvailable (older than
// 3.14) get MemFree + Buffers + Cached; without /proc/meminfo sysinfo() gives
// free + buffer memory.
//
// Any thread may call these; they share no state.

#include <cstdint>
#include <string>

namespace quellmarin {

struct TMemoryStatus {
  uint32_t MemoryLoad = 0;  // percent of physical memory in use, 0 .. 100
  uint64_t TotalPhys = 0;   // bytes of physical memory
  uint64_t AvailPhys = 0;   // bytes of physical memory free for programs
};

// Reads the status now. A machine whose memory cannot be read at all gives
// zeros.
TMemoryStatus GlobalMemoryStatus();

// Fills Status from the text of /proc/meminfo ("Name:   value kB" lines).
// False, Status untouched, when the text has no usable MemTotal.
bool ParseMemInfo(const std::string& Text, TMemoryStatus& Status);

// The load in percent for Avail bytes free of Total, rounded; 0 when Total is
// 0, and Avail above Total counts as all free.
uint32_t MemoryLoadPercent(uint64_t Total, uint64_t Avail);

}  // namespace quellmarin
