// Drives a real windowed program from a test, the way a person at the screen
// would: start it, find its windows, read its controls, click its buttons and
// answer its message boxes.
//
//   auto program = StartedProgram::Start(exe, L"http://...~9.6", directory);
//   HWND prompt = WaitForWindow(program.Id(), [](HWND w) { return IsWindowVisible(w); }, 10000);
//   EXPECT_EQ(ControlText(prompt, IDOK), L"立即更新");
//   Click(prompt, IDOK);
//   auto box = WaitForMessageBox(program.Id(), 30000);
//   ASSERT_TRUE(box);
//   EXPECT_EQ(box->text, L"下载成功，是否立即安装！");
//   Press(*box, IDYES);
//   EXPECT_EQ(program.WaitForExit(10000), 0u);
//
// Every wait is bounded; every message to the program is sent with a time
// limit or posted, so a hung program fails the test instead of hanging it.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace parvel::test {

// A program started for a test. A program still running when its owner goes
// is ended, so one failed test leaves nothing behind for the next.
class StartedProgram {
 public:
  // Starts `application` with `commandLine` as its whole command line (no
  // program name is put in front: the program sees exactly this text) in
  // `directory` (empty: the test program's current directory). Check
  // Started().
  static StartedProgram Start(const std::wstring& application, const std::wstring& commandLine,
                              const std::wstring& directory = {});

  StartedProgram() = default;
  StartedProgram(StartedProgram&& other) noexcept;
  StartedProgram& operator=(StartedProgram&& other) noexcept;
  StartedProgram(const StartedProgram&) = delete;
  StartedProgram& operator=(const StartedProgram&) = delete;
  ~StartedProgram();

  bool Started() const { return process_ != nullptr; }
  DWORD Id() const { return id_; }
  HANDLE Handle() const { return process_; }
  // The error of CreateProcessW when the start failed.
  DWORD StartError() const { return startError_; }

  bool Running() const;
  // The exit code, or nothing when the program is still running after
  // timeoutMs.
  std::optional<DWORD> WaitForExit(DWORD timeoutMs) const;
  // Ends a program that is still running (exit code 99).
  void Terminate();

 private:
  HANDLE process_ = nullptr;
  DWORD id_ = 0;
  DWORD startError_ = 0;
};

// Polls `condition` every pollMs until it holds or timeoutMs has passed;
// returns its last answer.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs, DWORD pollMs = 50);

// The top-level windows of a process, in the system's z order; with a class
// name, only the windows of that class ("#32770" for dialogs and message
// boxes).
std::vector<HWND> TopLevelWindows(DWORD processId, const wchar_t* className = nullptr);

// The first top-level window of the process that `accept` takes, waiting up
// to timeoutMs for one to appear; null when none did.
HWND WaitForWindow(DWORD processId, const std::function<bool(HWND)>& accept, DWORD timeoutMs);

// Window and control state. Texts are read with WM_GETTEXT, which the system
// carries across processes; a control id names a child of `dialog`.
std::wstring WindowText(HWND window);
std::wstring ClassName(HWND window);
RECT WindowRect(HWND window);
bool IsShown(HWND window);  // visible, with all its parents
HWND Control(HWND dialog, int id);
std::wstring ControlText(HWND dialog, int id);
// Whether the control itself is marked visible, whatever its parent is: a
// control shown inside a hidden window counts as visible.
bool ControlVisible(HWND dialog, int id);

// A message sent with a time limit (the result, or nothing when the program
// did not answer in time), and a posted one.
std::optional<LRESULT> Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD timeoutMs = 5000);
bool Post(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

// Clicks the button `id` of `dialog` as the button itself reports a click:
// WM_COMMAND with BN_CLICKED, posted, so the program's handling never blocks
// the test.
bool Click(HWND dialog, int id);

// A standard message box: a dialog-class top-level window with a static text
// whose id is 0xFFFF, and nothing but static controls and buttons.
struct MessageBoxInfo {
  HWND window = nullptr;
  std::wstring caption;
  std::wstring text;
  std::vector<std::pair<int, std::wstring>> buttons;  // id and text, in window order
  bool hasIcon = false;                               // a static showing an icon

  std::vector<int> ButtonIds() const;
};

// The visible message boxes of a process.
std::vector<MessageBoxInfo> MessageBoxes(DWORD processId);
// The first message box of the process to appear within timeoutMs.
std::optional<MessageBoxInfo> WaitForMessageBox(DWORD processId, DWORD timeoutMs);
// Presses the button `id` of the box (IDOK, IDYES, IDNO, ...).
bool Press(const MessageBoxInfo& box, int id);

}  // namespace parvel::test
