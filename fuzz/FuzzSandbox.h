// Set-up shared by the fuzz targets. Targets that read the fixed configuration paths run only
// inside scripts/sandbox, so that they never touch the host's /usr/local or /var/local.
#pragma once

#include <string>

namespace rs485fuzz {

// Aborts with a message unless the process runs inside scripts/sandbox.
void RequireSandbox(const char* target);
// Writes text to path; aborts when that fails.
void WriteOrDie(const std::string& path, const std::string& text);
// Sends standard output (the trace lines) to /dev/null: libFuzzer reports on standard error.
void SilenceTraces();
// A configuration with the given "line" and "shared" array bodies and no start delay.
std::string Config(const std::string& lines, const std::string& shared, int res_wait_ms);

}  // namespace rs485fuzz
