// TavroSettings: the reader of TAVRO.REG and the affinity it selects.
#pragma once

#include <cstdint>
#include <string>

// What the tree environment (DSEnv) and the process-control singleton
// (CHostsys) share of the settings file: one reader, one affinity choice.
namespace tavro_settings {

// Reads the setting `name` from the settings file `path` into `out`: the
// first line that begins with `name` (ASCII case ignored, over the length
// of `name`) gives everything after its first "=", without its line end
// (LF or CR LF); such a line without "=" gives the empty value. Lines are
// read in chunks of at most 79 characters, and only a chunk that begins a
// line can match. `out` is empty when nothing matches. False when the
// file cannot be opened (the thread's last error says why).
bool ReadValue(const std::string& path, const char* name, std::string& out);

// The processor mask that the setting `value` of tavro.CPUAffinity selects
// among the processors of `systemMask`: with fewer than two processors,
// or a value that is empty, begins with "f" (any case) or names no
// processor of the system, all of them; "t..." the highest one alone; a
// decimal number n below 32 whose processor exists, processor n alone.
uint32_t AffinityMask(uint32_t systemMask, const std::string& value);

}  // namespace tavro_settings
