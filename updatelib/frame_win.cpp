#include "updatelib/frame_win.h"

#include "common/program_directory.h"
#include "common/text.h"
#include "updatelib/frame.h"

namespace parvel {
namespace {

const MessageMap kFrameMessages = {nullptr};
const MessageMap kFennickMessages = {&kFrameMessages};

// The module's own file name, grown until the whole path fits.
std::u16string ModulePath(HINSTANCE module) {
  std::u16string buffer(260, u'\0');
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD length = ::GetModuleFileNameW(module, WideBuffer(buffer), size);
    if (length == 0) return {};
    if (length < size) {
      buffer.resize(length);
      return buffer;
    }
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

CFennickApp theApp;

}  // namespace

const MessageMap* CWinAppFrame::GetMessageMap() const { return &kFrameMessages; }

bool CWinAppFrame::InitInstance() { return true; }

void CWinAppFrame::Attach(HINSTANCE module) {
  module_ = module;
  title_ = ApplicationTitleFromPath(ModulePath(module));
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
