// The application frame of the library, in Windows terms.
//
// The host loads the library and calls its exports by name; the frame gives
// those exports the library's module handle and the application title that
// its own message boxes carry.
#pragma once

#include <windows.h>

#include <string>

namespace parvel {

// A message map chained to its base's; the library handles no messages, so
// every map here is empty.
struct MessageMap {
  const MessageMap* base;
};

// The platform part of the application: module handle, title, the message
// box that carries the title. One instance per library, made at load.
class CWinAppFrame {
 public:
  CWinAppFrame() = default;
  CWinAppFrame(const CWinAppFrame&) = delete;
  CWinAppFrame& operator=(const CWinAppFrame&) = delete;
  virtual ~CWinAppFrame() = default;
  virtual const MessageMap* GetMessageMap() const;
  virtual bool InitInstance();

  // Called by the library entry point when a process attaches.
  void Attach(HINSTANCE module);

  HINSTANCE Module() const { return module_; }

  // The module's base name without extension: "Marlock".
  const std::u16string& Title() const { return title_; }

  // A message box with no owner window, captioned with the application title.
  int AppMessageBox(const std::u16string& text, UINT type) const;

 private:
  HINSTANCE module_ = nullptr;
  std::u16string title_;
};

class CFennickApp : public CWinAppFrame {
 public:
  ~CFennickApp() override = default;
  const MessageMap* GetMessageMap() const override;
  bool InitInstance() override;
};

// The library's one application object.
CFennickApp& TheApp();

}  // namespace parvel
