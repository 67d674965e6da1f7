#include "updatelib/frame_win.h"

#include "common/program_directory.h"
#include "common/text.h"
#include "updatelib/frame.h"

namespace parvel {
namespace {

const MessageMap kFrameMessages = {nullptr};
const MessageMap kFennickMessages = {&kFrameMessages};

CFennickApp theApp;

}  // namespace

const MessageMap* CWinAppFrame::GetMessageMap() const { return &kFrameMessages; }

bool CWinAppFrame::InitInstance() { return true; }

void CWinAppFrame::Attach(HINSTANCE module) {
  module_ = module;
  title_ = ApplicationTitleFromPath(GetModulePath(module));
}

int CWinAppFrame::AppMessageBox(const std::u16string& text, UINT type) const {
  return ::MessageBoxW(nullptr, WidePtr(text), WidePtr(title_), type);
}

const MessageMap* CFennickApp::GetMessageMap() const { return &kFennickMessages; }

bool CFennickApp::InitInstance() {
  CWinAppFrame::InitInstance();
  return true;
}

CFennickApp& TheApp() { return theApp; }

}  // namespace parvel

// The library entry point. The runtime has constructed the application
// object before this runs; nothing else happens at load: no registry, file
// or network access.
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) {
    ::DisableThreadLibraryCalls(module);
    parvel::TheApp().Attach(module);
    return parvel::TheApp().InitInstance() ? TRUE : FALSE;
  }
  return TRUE;
}
