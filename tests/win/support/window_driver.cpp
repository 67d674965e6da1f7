#include "tests/win/support/window_driver.h"

#include <algorithm>
#include <utility>

namespace parvel::test {

// ------------------------------------------------------------------ programs

StartedProgram StartedProgram::Start(const std::wstring& application, const std::wstring& commandLine,
                                     const std::wstring& directory) {
  StartedProgram program;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  // CreateProcessW may write into the command line, so it gets a copy.
  std::wstring line = commandLine;
  if (!::CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &process)) {
    program.startError_ = ::GetLastError();
    return program;
  }
  ::CloseHandle(process.hThread);
  program.process_ = process.hProcess;
  program.id_ = process.dwProcessId;
  return program;
}

StartedProgram::StartedProgram(StartedProgram&& other) noexcept
    : process_(std::exchange(other.process_, nullptr)),
      id_(std::exchange(other.id_, 0)),
      startError_(other.startError_) {}

StartedProgram& StartedProgram::operator=(StartedProgram&& other) noexcept {
  if (this != &other) {
    Terminate();
    if (process_ != nullptr) ::CloseHandle(process_);
    process_ = std::exchange(other.process_, nullptr);
    id_ = std::exchange(other.id_, 0);
    startError_ = other.startError_;
  }
  return *this;
}

StartedProgram::~StartedProgram() {
  Terminate();
  if (process_ != nullptr) ::CloseHandle(process_);
}

bool StartedProgram::Running() const {
  return process_ != nullptr && ::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

std::optional<DWORD> StartedProgram::WaitForExit(DWORD timeoutMs) const {
  if (process_ == nullptr) return std::nullopt;
  if (::WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  if (!::GetExitCodeProcess(process_, &code)) return std::nullopt;
  return code;
}

void StartedProgram::Terminate() {
  if (Running()) {
    ::TerminateProcess(process_, 99);
    ::WaitForSingleObject(process_, 10000);
  }
}

// ------------------------------------------------------------------- waiting

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs, DWORD pollMs) {
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  for (;;) {
    if (condition()) return true;
    if (::GetTickCount64() >= deadline) return condition();
    ::Sleep(pollMs);
  }
}

// ------------------------------------------------------------------- windows

namespace {

struct WindowSearch {
  DWORD processId;
  const wchar_t* className;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM context) {
  auto& search = *reinterpret_cast<WindowSearch*>(context);
  DWORD owner = 0;
  ::GetWindowThreadProcessId(window, &owner);
  if (owner != search.processId) return TRUE;
  if (search.className != nullptr && ClassName(window) != search.className) return TRUE;
  search.found.push_back(window);
  return TRUE;
}

BOOL CALLBACK CollectChildren(HWND window, LPARAM context) {
  reinterpret_cast<std::vector<HWND>*>(context)->push_back(window);
  return TRUE;
}

std::vector<HWND> DirectChildren(HWND parent) {
  std::vector<HWND> all;
  ::EnumChildWindows(parent, CollectChildren, reinterpret_cast<LPARAM>(&all));
  all.erase(std::remove_if(all.begin(), all.end(), [parent](HWND w) { return ::GetParent(w) != parent; }),
            all.end());
  return all;
}

bool SameClass(const std::wstring& a, const wchar_t* b) { return ::lstrcmpiW(a.c_str(), b) == 0; }

std::optional<MessageBoxInfo> ReadMessageBox(HWND window) {
  if (!::IsWindowVisible(window)) return std::nullopt;
  MessageBoxInfo box;
  box.window = window;
  bool hasText = false;
  for (HWND child : DirectChildren(window)) {
    const std::wstring cls = ClassName(child);
    const int id = ::GetDlgCtrlID(child);
    if (SameClass(cls, L"Button")) {
      box.buttons.emplace_back(id, WindowText(child));
    } else if (SameClass(cls, L"Static")) {
      const LONG style = ::GetWindowLongW(child, GWL_STYLE);
      if ((style & SS_TYPEMASK) == SS_ICON) {
        // Some systems keep an empty, hidden icon control in every box.
        if ((style & WS_VISIBLE) != 0 && Send(child, STM_GETICON, 0, 0).value_or(0) != 0) box.hasIcon = true;
      } else if ((id & 0xFFFF) == 0xFFFF && !hasText) {
        box.text = WindowText(child);
        hasText = true;
      }
    } else {
      return std::nullopt;  // some other dialog
    }
  }
  if (!hasText || box.buttons.empty()) return std::nullopt;
  box.caption = WindowText(window);
  return box;
}

}  // namespace

std::vector<HWND> TopLevelWindows(DWORD processId, const wchar_t* className) {
  WindowSearch search{processId, className, {}};
  ::EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND WaitForWindow(DWORD processId, const std::function<bool(HWND)>& accept, DWORD timeoutMs) {
  HWND result = nullptr;
  WaitUntil(
      [&] {
        for (HWND window : TopLevelWindows(processId)) {
          if (accept(window)) {
            result = window;
            return true;
          }
        }
        return false;
      },
      timeoutMs);
  return result;
}

std::wstring WindowText(HWND window) {
  DWORD_PTR length = 0;
  if (!::SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) return {};
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!::SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                             SMTO_ABORTIFHUNG, 5000, &copied)) {
    return {};
  }
  text.resize(std::min<size_t>(static_cast<size_t>(copied), text.size() - 1));
  return text;
}

std::wstring ClassName(HWND window) {
  wchar_t name[256] = {};
  const int length = ::GetClassNameW(window, name, 256);
  return std::wstring(name, length > 0 ? static_cast<size_t>(length) : 0);
}

RECT WindowRect(HWND window) {
  RECT rect{};
  ::GetWindowRect(window, &rect);
  return rect;
}

bool IsShown(HWND window) { return ::IsWindowVisible(window) != FALSE; }

HWND Control(HWND dialog, int id) { return ::GetDlgItem(dialog, id); }

std::wstring ControlText(HWND dialog, int id) {
  const HWND control = Control(dialog, id);
  return control != nullptr ? WindowText(control) : std::wstring();
}

bool ControlVisible(HWND dialog, int id) {
  const HWND control = Control(dialog, id);
  return control != nullptr && (::GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE) != 0;
}

std::optional<LRESULT> Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD timeoutMs) {
  DWORD_PTR result = 0;
  if (!::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, timeoutMs, &result)) {
    return std::nullopt;
  }
  return static_cast<LRESULT>(result);
}

bool Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return ::PostMessageW(window, message, wParam, lParam) != FALSE;
}

bool Click(HWND dialog, int id) {
  return Post(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(Control(dialog, id)));
}

// ------------------------------------------------------------- message boxes

std::vector<int> MessageBoxInfo::ButtonIds() const {
  std::vector<int> ids;
  for (const auto& button : buttons) ids.push_back(button.first);
  return ids;
}

std::vector<MessageBoxInfo> MessageBoxes(DWORD processId) {
  std::vector<MessageBoxInfo> boxes;
  for (HWND window : TopLevelWindows(processId, L"#32770")) {
    if (auto box = ReadMessageBox(window)) boxes.push_back(std::move(*box));
  }
  return boxes;
}

std::optional<MessageBoxInfo> WaitForMessageBox(DWORD processId, DWORD timeoutMs) {
  std::optional<MessageBoxInfo> found;
  WaitUntil(
      [&] {
        auto boxes = MessageBoxes(processId);
        if (boxes.empty()) return false;
        found = std::move(boxes.front());
        return true;
      },
      timeoutMs);
  return found;
}

bool Press(const MessageBoxInfo& box, int id) {
  HWND button = nullptr;
  for (HWND child : DirectChildren(box.window)) {
    if (::GetDlgCtrlID(child) == id && SameClass(ClassName(child), L"Button")) button = child;
  }
  if (button == nullptr) return false;
  return Post(box.window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

}  // namespace parvel::test
