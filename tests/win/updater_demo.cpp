// Walks the updater through its main path for scripts/demo-updater, with
// pauses for screenshots:
//
//   updater_demo_driver.exe UPDATER_EXE COMMAND_LINE
//
// It starts the updater with COMMAND_LINE as its whole command line and
// reports on standard output, one line each (UTF-8):
//
//   prompt X Y WIDTH HEIGHT            the prompt is up; waits for a line on stdin
//   download X Y WIDTH HEIGHT POS      mid-way through the download (bar position
//                                      POS); waits for a line on stdin
//   line TEXT                          the remaining-time line at that moment
//   question CAPTION: TEXT             the question at the end, answered Yes
//   exit CODE                          the updater's exit code
//   error TEXT                         something did not happen in time (exit 1)
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "tests/win/support/host_runner.h"
#include "tests/win/support/window_driver.h"
#include "updater/resource.h"

using namespace parvel::test;

namespace {

void Say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

int Fail(const std::string& what) {
  Say("error " + what);
  return 1;
}

std::string Rect(HWND window) {
  const RECT r = WindowRect(window);
  return std::to_string(r.left) + " " + std::to_string(r.top) + " " + std::to_string(r.right - r.left) + " " +
         std::to_string(r.bottom - r.top);
}

void WaitForGo() {
  std::string ignored;
  std::getline(std::cin, ignored);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return Fail("usage: updater_demo_driver UPDATER_EXE COMMAND_LINE");
  const std::wstring updater = argv[1];
  StartedProgram program = StartedProgram::Start(updater, argv[2], updater.substr(0, updater.rfind(L'\\') + 1));
  if (!program.Started()) return Fail("the updater did not start");

  const HWND prompt = WaitForWindow(
      program.Id(), [](HWND w) { return IsShown(w) && WindowText(w) == L"Parvel更新提示"; }, 30000);
  if (prompt == nullptr) return Fail("no prompt");
  ::Sleep(500);  // let it paint
  Say("prompt " + Rect(prompt));
  WaitForGo();

  Click(prompt, IDOK);
  auto position = [&] {
    return static_cast<int>(Send(Control(prompt, IDC_PROGRESS), PBM_GETPOS, 0, 0).value_or(0));
  };
  if (!WaitUntil([&] { return position() >= 40 && !ControlText(prompt, IDC_REMAINING_TIME).empty(); }, 60000)) {
    return Fail("the download did not get half-way");
  }
  Say("download " + Rect(prompt) + " " + std::to_string(position()));
  Say("line " + Utf8(ControlText(prompt, IDC_REMAINING_TIME)));
  WaitForGo();

  const auto box = WaitForMessageBox(program.Id(), 60000);
  if (!box) return Fail("no question at the end");
  Say("question " + Utf8(box->caption) + ": " + Utf8(box->text));
  Press(*box, IDYES);
  const auto code = program.WaitForExit(30000);
  if (!code) return Fail("the updater did not end");
  Say("exit " + std::to_string(*code));
  return 0;
}
