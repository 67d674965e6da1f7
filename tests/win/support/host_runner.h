// Runs the test host (TestHost.exe) as a host program would be run, and
// reads back the events it reported.
#pragma once

#include <string>
#include <vector>

#include "tests/host/host_events.h"  // Utf8, HostQuote

namespace parvel::test {

struct HostRun {
  bool started = false;
  bool finished = false;  // false when it had to be killed after the time limit
  unsigned long exitCode = 0;
  std::vector<std::string> events;  // UTF-8 event lines, in order

  // The events whose first word is `kind` ("messagebox", "result", ...).
  std::vector<std::string> Events(const std::string& kind) const;
};

// Runs `host` (path of a TestHost.exe; its directory holds Marlock.dll) with
// the message-box answers `buttons` ("ok,yes"; empty for none) and the calls
// `calls` ("GetMD5ForFileManager=C:\\x"), waiting at most `timeoutMs`.
HostRun RunHost(const std::wstring& host, const std::wstring& buttons, const std::vector<std::wstring>& calls,
                unsigned long timeoutMs = 60000);

// The directory of the running test program, with its trailing backslash.
std::wstring TestProgramDirectory();

// A fresh empty directory under the test program's directory.
std::wstring MakeScratchDirectory(const std::wstring& name);

// Text helpers for tests.
std::wstring Wide(const std::string& utf8);
bool WriteBytes(const std::wstring& path, const std::string& bytes);
std::string ReadBytes(const std::wstring& path);  // empty when it can't be read


}  // namespace parvel::test
