#include "tests/win/support/host_runner.h"

#include <windows.h>

#include <cstdio>
#include <sstream>

namespace parvel::test {

std::vector<std::string> HostRun::Events(const std::string& kind) const {
  std::vector<std::string> out;
  for (const auto& e : events) {
    if (e.compare(0, kind.size() + 1, kind + " ") == 0) out.push_back(e);
  }
  return out;
}

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int size = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), size);
  return out;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = bytes.empty() || (::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                                                nullptr) && written == bytes.size());
  ::CloseHandle(file);
  return ok;
}

std::string ReadBytes(const std::wstring& path) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char block[4096];
  DWORD read = 0;
  while (::ReadFile(file, block, sizeof block, &read, nullptr) && read != 0) bytes.append(block, read);
  ::CloseHandle(file);
  return bytes;
}

std::wstring TestProgramDirectory() {
  std::wstring path(32768, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return path.substr(0, path.rfind(L'\\') + 1);
}

namespace {

void RemoveTree(const std::wstring& directory) {
  WIN32_FIND_DATAW found;
  HANDLE search = ::FindFirstFileW((directory + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = directory + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(path.c_str());
      }
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
  }
  ::RemoveDirectoryW(directory.c_str());
}

// Quotes one argument the way the C runtime splits a command line.
std::wstring QuoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  return out + L"\"";
}

}  // namespace

std::wstring MakeScratchDirectory(const std::wstring& name) {
  const std::wstring root = TestProgramDirectory() + L"scratch";
  ::CreateDirectoryW(root.c_str(), nullptr);
  const std::wstring directory = root + L"\\" + name;
  RemoveTree(directory);
  ::CreateDirectoryW(directory.c_str(), nullptr);
  return directory + L"\\";
}

HostRun RunHost(const std::wstring& host, const std::wstring& buttons, const std::vector<std::wstring>& calls,
                unsigned long timeoutMs) {
  HostRun run;
  static int counter = 0;
  const std::wstring outFile = TestProgramDirectory() + L"host-events-" + std::to_wstring(::GetCurrentProcessId()) +
                               L"-" + std::to_wstring(++counter) + L".txt";
  std::wstring commandLine = QuoteArgument(host);
  if (!buttons.empty()) commandLine += L" --buttons " + QuoteArgument(buttons);
  commandLine += L" --out " + QuoteArgument(outFile);
  for (const auto& call : calls) commandLine += L" " + QuoteArgument(call);

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  // The host's console output is not needed: the events come from the file.
  startup.hStdInput = startup.hStdOutput = startup.hStdError = nullptr;
  PROCESS_INFORMATION process = {};
  const std::wstring directory = host.substr(0, host.rfind(L'\\') + 1);
  if (!::CreateProcessW(host.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        directory.c_str(), &startup, &process)) {
    return run;
  }
  run.started = true;
  if (::WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0) {
    run.finished = true;
  } else {
    ::TerminateProcess(process.hProcess, 99);
    ::WaitForSingleObject(process.hProcess, 5000);
  }
  ::GetExitCodeProcess(process.hProcess, &run.exitCode);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);

  std::istringstream in(ReadBytes(outFile));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    run.events.push_back(line);
  }
  ::DeleteFileW(outFile.c_str());
  return run;
}

}  // namespace parvel::test
