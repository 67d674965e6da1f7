// The updater program: announces the new version in the notification area,
// shows its prompt, downloads the installer on a thread of its own and starts
// it. What to show and what to compute comes from updater.h; this file only
// carries it out with the Windows API.

#include <windows.h>
#include <commctrl.h>
#include <process.h>
#include <shellapi.h>
#include <urlmon.h>

#include <atomic>
#include <cstddef>
#include <string>

#include "common/program_directory.h"
#include "common/text.h"
#include "common/win_handles.h"
#include "updater/resource.h"
#include "updater/updater.h"

namespace parvel {
namespace {

// Window messages and timers of the program.
constexpr UINT WM_TRAY_NOTIFY = WM_USER + 101;
constexpr UINT WM_DOWNLOAD_DONE = WM_USER + 102;
constexpr UINT_PTR IDT_REMAINING_TIME = 1127;
constexpr UINT_PTR IDT_SHOW_PROMPT = 1128;

constexpr UINT kTrayIconId = 1;
constexpr UINT kRemainingTimePeriod = 1000;
constexpr UINT kManualPromptDelay = 500;
constexpr UINT kAutomaticPromptDelay = 10000;
constexpr UINT kBalloonTimeout = 2000;

// The notification record as far as guidItem: every shell since Vista takes
// it, and it carries the balloon fields the announcement needs.
constexpr DWORD kTrayRecordSize = static_cast<DWORD>(offsetof(NOTIFYICONDATAW, guidItem) + sizeof(GUID));

#if !defined(_WIN64)
// The shipped 32-bit program hands these records to the system; their sizes
// are fixed by the platform, and a header that disagreed would be noticed here.
static_assert(sizeof(STARTUPINFOW) == 68, "STARTUPINFOW of 32-bit Windows");
static_assert(offsetof(NOTIFYICONDATAW, guidItem) + sizeof(GUID) == 952,
              "NOTIFYICONDATAW up to guidItem of 32-bit Windows");
#endif

// The controls that belong to the download view and are hidden in the prompt.
constexpr int kDownloadViewControls[] = {IDC_PROGRESS, IDC_BANNER, IDC_DOWNLOADING, IDC_FILE_NAME};

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

// Everything the program keeps between messages. It is made once and never
// destroyed: when the window closes during a download, the process ends
// while the download thread still runs, and that thread must never find its
// strings torn down by the exit.
struct Updater {
  UpdateMode mode = UpdateMode::Manual;
  std::u16string downloadUrl;
  std::u16string sizeText;
  // Written by the download thread before it sends WM_DOWNLOAD_DONE, read by
  // the window thread only while that message is handled.
  std::u16string installerPath;
  bool downloadSucceeded = false;

  bool promptPending = true;
  bool downloadStarted = false;
  std::int32_t elapsedSeconds = 0;
  // Read by the download thread while the window thread may clear it.
  std::atomic<HWND> promptWindow{nullptr};
  NOTIFYICONDATAW trayIcon{};
};

Updater* const g_state = new Updater;

Updater& State() { return *g_state; }

// ------------------------------------------------------------ download

// The progress receiver handed to the downloader. It lives on the download
// thread's stack for exactly the duration of the download call, so it keeps
// no reference count and hands out no interfaces: it only moves the bar.
class CBindCBHttpCallback final : public IBindStatusCallback {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    if (object != nullptr) *object = nullptr;
    return E_NOTIMPL;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 0; }
  ULONG STDMETHODCALLTYPE Release() override { return 0; }
  HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnProgress(ULONG progress, ULONG progressMax, ULONG, LPCWSTR) override {
    // Every report moves the bar, whatever stage of the transfer it is about.
    // Once the window is gone there is nothing left to move.
    const HWND window = State().promptWindow.load();
    const HWND bar = window != nullptr ? ::GetDlgItem(window, IDC_PROGRESS) : nullptr;
    if (bar != nullptr) {
      ::PostMessageW(bar, PBM_SETPOS, ProgressPercentage(progress, progressMax), 0);
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT, LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD*, BINDINFO*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override { return E_NOTIMPL; }
};

// Keeps COM initialised on the download thread for the download call.
class ComApartment {
 public:
  ComApartment() : initialised_(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
  ~ComApartment() {
    if (initialised_) ::CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  bool initialised_;
};

// Downloads into the temporary file and, when that worked, puts the result
// under the installer's own name, replacing an older download.
bool DownloadInstaller(Updater& state) {
  const std::u16string directory = GetProgramDirectory();
  const std::u16string temporaryFile = directory + std::u16string(kTemporaryFileName);
  state.installerPath = directory + LocalFileName(state.downloadUrl);

  ComApartment apartment;
  CBindCBHttpCallback callback;
  const HRESULT result =
      ::URLDownloadToFileW(nullptr, WidePtr(state.downloadUrl), WidePtr(temporaryFile), 0, &callback);
  if (result != S_OK) return false;
  // The old installer makes way; if that or the rename fails, the start that
  // follows simply uses whatever lies at the installer's name.
  ::DeleteFileW(WidePtr(state.installerPath));
  ::MoveFileW(WidePtr(temporaryFile), WidePtr(state.installerPath));
  return true;
}

unsigned __stdcall DownloadThread(void*) {
  Updater& state = State();
  const bool succeeded = DownloadInstaller(state);
  state.downloadSucceeded = succeeded;
  if (!succeeded) {
    ::MessageBoxW(nullptr, Wide(u"下载失败，请检查本地网络连接！"), Wide(u"Parvel安装包下载"), MB_OK);
  }
  // Sent, not posted: the window thread reads what this thread wrote only
  // while it handles the message, and the send returns after that.
  const HWND window = state.promptWindow.load();
  if (window != nullptr) ::SendMessageW(window, WM_DOWNLOAD_DONE, 0, 0);
  return 0;
}

// Starts the installer with no arguments in a normal window. The handles it
// returns are not needed and are closed at once.
bool StartInstaller() {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION process{};
  const bool started = ::CreateProcessW(WidePtr(State().installerPath), nullptr, nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process) != FALSE;
  if (started) {
    UniqueKernelHandle ownedProcess(process.hProcess);
    UniqueKernelHandle ownedThread(process.hThread);
  }
  return started;
}

// ------------------------------------------------------------- window

void ShowControls(HWND window, bool show) {
  for (int id : kDownloadViewControls) ::ShowWindow(::GetDlgItem(window, id), show ? SW_SHOW : SW_HIDE);
}

void RemoveTrayIcon(Updater& state) { ::Shell_NotifyIconW(NIM_DELETE, &state.trayIcon); }

void ShowPrompt(HWND window) {
  Updater& state = State();
  if (!state.promptPending) return;
  state.promptPending = false;
  ShowControls(window, false);
  ::ShowWindow(window, SW_SHOW);
  ::SetWindowPos(window, HWND_TOP, 400, 200, 285, 140, SWP_SHOWWINDOW);
  RemoveTrayIcon(state);
}

void StartDownload(HWND window) {
  Updater& state = State();
  // One download per run: a second "立即更新" (the button is hidden by then,
  // but a message can still arrive) must not start another transfer into
  // the same temporary file.
  if (state.downloadStarted) return;
  state.downloadStarted = true;

  ::SetDlgItemTextW(window, IDC_FILE_NAME, WidePtr(LocalFileName(state.downloadUrl)));
  ::ShowWindow(::GetDlgItem(window, IDOK), SW_HIDE);
  ::ShowWindow(::GetDlgItem(window, IDCANCEL), SW_HIDE);
  if (state.mode == UpdateMode::Manual) {
    ShowControls(window, true);
    ::ShowWindow(window, SW_SHOW);
    ::SetWindowPos(window, HWND_TOP, 300, 300, 407, 248, SWP_SHOWWINDOW);
  } else {
    // A scheduled update runs out of sight until the installer starts.
    ShowControls(window, false);
    ::ShowWindow(window, SW_SHOW);
    ::SetWindowPos(window, HWND_TOP, 300, 300, 407, 248, SWP_HIDEWINDOW);
  }

  const HWND bar = ::GetDlgItem(window, IDC_PROGRESS);
  ::PostMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  ::PostMessageW(bar, PBM_SETPOS, 0, 0);
  ::SetTimer(window, IDT_REMAINING_TIME, kRemainingTimePeriod, nullptr);
  // Nobody waits for the thread; its handle is closed at once.
  UniqueKernelHandle thread(
      reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, DownloadThread, window, 0, nullptr)));
}

void UpdateRemainingTime(HWND window) {
  Updater& state = State();
  ++state.elapsedSeconds;
  const auto position = static_cast<std::int32_t>(::SendDlgItemMessageW(window, IDC_PROGRESS, PBM_GETPOS, 0, 0));
  const auto remaining = RemainingSeconds(position, state.elapsedSeconds);
  if (!remaining) return;  // No estimate yet: the line keeps its text.
  ::SetDlgItemTextW(window, IDC_REMAINING_TIME, WidePtr(RemainingTimeLine(*remaining, state.sizeText)));
}

void FinishDownload(HWND window) {
  Updater& state = State();
  ::ShowWindow(window, SW_HIDE);
  if (state.mode == UpdateMode::Automatic) {
    // A scheduled update starts whatever installer is there, also an older
    // one when this download failed.
    StartInstaller();
  } else if (state.downloadSucceeded) {
    if (::MessageBoxW(nullptr, Wide(u"下载成功，是否立即安装！"), Wide(u"Parvel"),
                      MB_YESNO | MB_ICONINFORMATION) == IDYES) {
      StartInstaller();
    }
  }
  ::SendMessageW(window, WM_CLOSE, 0, 0);
}

void Close(HWND window) {
  Updater& state = State();
  // Closed before the prompt came up: the icon would otherwise linger in the
  // notification area until the mouse passes over it.
  if (state.promptPending) RemoveTrayIcon(state);
  ::DestroyWindow(window);
  state.promptWindow.store(nullptr);
  ::PostQuitMessage(0);
}

bool IsPromptEvent(LPARAM event) {
  switch (event) {
    case WM_MOUSEMOVE:
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
    case NIN_BALLOONTIMEOUT:
    case NIN_BALLOONUSERCLICK:
      return true;
    default:
      return false;
  }
}

INT_PTR CALLBACK PromptProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_CLOSE:
    case WM_RBUTTONDOWN:  // a right-button press on the window's background ends the program
      Close(window);
      return TRUE;
    case WM_COMMAND:
      // The whole wParam: a button click has notification code 0.
      if (wParam == IDOK) {
        StartDownload(window);
        return TRUE;
      }
      if (wParam == IDCANCEL) {
        ::SendMessageW(window, WM_CLOSE, IDCANCEL, 0);
        return FALSE;
      }
      return FALSE;
    case WM_TIMER:
      if (wParam == IDT_SHOW_PROMPT) {
        ::KillTimer(window, IDT_SHOW_PROMPT);
        ShowPrompt(window);
        return FALSE;
      }
      if (wParam == IDT_REMAINING_TIME) {
        UpdateRemainingTime(window);
        return TRUE;
      }
      return FALSE;
    case WM_TRAY_NOTIFY:
      if (wParam == kTrayIconId && IsPromptEvent(lParam)) ShowPrompt(window);
      return TRUE;
    case WM_DOWNLOAD_DONE:
      FinishDownload(window);
      return FALSE;
    default:
      return FALSE;
  }
}

void FillTrayIcon(Updater& state, HWND window, HICON icon) {
  NOTIFYICONDATAW& record = state.trayIcon;
  record.cbSize = kTrayRecordSize;
  record.hWnd = window;
  record.uID = kTrayIconId;
  record.uCallbackMessage = WM_TRAY_NOTIFY;
  record.hIcon = icon;
  record.uTimeout = kBalloonTimeout;
  static_assert(sizeof(record.szTip) / sizeof(record.szTip[0]) >= kTrayTextCapacity, "tip fits");
  static_assert(sizeof(record.szInfo) / sizeof(record.szInfo[0]) >= kTrayTextCapacity, "balloon fits");
  static_assert(sizeof(record.szInfoTitle) / sizeof(record.szInfoTitle[0]) >= kTrayTextCapacity, "title fits");
  BoundedCopy(reinterpret_cast<char16_t*>(record.szTip), kTrayTextCapacity, TrayTipText());
  record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO;
  BoundedCopy(reinterpret_cast<char16_t*>(record.szInfo), kTrayTextCapacity, BalloonText(state.downloadUrl));
  BoundedCopy(reinterpret_cast<char16_t*>(record.szInfoTitle), kTrayTextCapacity, BalloonTitle());
  record.dwInfoFlags = NIIF_INFO;
}

int Run(HINSTANCE instance) {
  // The starter passes "address#size" or "address~size" as the whole
  // command line, without a program name in front, so the text is taken as
  // the system holds it rather than split into arguments.
  const auto command = SplitCommandLine(FromWide(::GetCommandLineW()));
  if (!command) return 0;
  // An address that would put the download anywhere but into a plain file
  // of this directory, or from which no version can be read, is not used.
  if (!IsUsableAddress(command->downloadUrl)) return 0;

  Updater& state = State();
  state.mode = command->mode;
  state.downloadUrl = command->downloadUrl;
  state.sizeText = command->sizeText;

  // The progress bar's window class must exist before the dialog is made.
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof(controls);
  controls.dwICC = ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
  ::InitCommonControlsEx(&controls);

  const HICON icon = ::LoadIconW(instance, MAKEINTRESOURCEW(IDI_UPDATER));
  const HWND window = ::CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_UPDATE_PROMPT), nullptr, PromptProc, 0);
  if (window == nullptr) return 0;
  state.promptWindow.store(window);
  ::SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));

  FillTrayIcon(state, window, icon);
  ::Shell_NotifyIconW(NIM_ADD, &state.trayIcon);
  ::SetTimer(window, IDT_SHOW_PROMPT,
             state.mode == UpdateMode::Manual ? kManualPromptDelay : kAutomaticPromptDelay, nullptr);

  // No dialog keyboard handling: Tab, Enter and Esc mean nothing here.
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  return 0;
}

}  // namespace
}  // namespace parvel

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // Whatever happened, the starter is told nothing but 0.
  parvel::Run(instance);
  return 0;
}
