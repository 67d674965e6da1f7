// The test host: a small program that plays the archive program, its
// installer or its uninstaller.
//
//   TestHost.exe [--buttons LIST] [--delay MS] [--out FILE] CALL [CALL ...]
//
// It loads Marlock.dll from its own directory and makes the calls in order
// on its main thread, as a host program would. A CALL is an export's name,
// optionally followed by "=" and its argument:
//
//   UpdatExe=1              32-bit value (UpdatExe, UpWorkdate)
//   GetMD5ForFileManager=C:\file.bin
//                           wide path; "GetMD5ForFileManager" alone passes an
//                           empty path and "GetMD5ForFileManager=<null>" a
//                           null pointer
//   FennickUpdat=C:\dir\    narrow text in the ANSI code page
//   GetUpdat                no argument
//
// Every message box shown on its thread is answered from the comma-separated
// LIST of buttons (ok, cancel, yes, no, abort, retry, ignore, close), in
// order (after MS milliseconds with --delay, so that a person or a
// screenshot can see the box; the box's place is then reported too); once
// the list is used up, boxes are closed with their cancel or
// only button and the event says so. Each event is one line of UTF-8 on
// standard output (and in FILE with --out):
//
//   load path="..."
//   messagebox caption="..." text="..." buttons=yesno icon=information answer=yes
//   messagebox-rect x=420 y=380 width=300 height=120      (with --delay)
//   result call=UpdatExe value=1
//
// Texts are quoted with \" \\ \r \n \t and \xNN escapes. The value is the
// low byte of the result, the only byte the library defines.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/host/host_events.h"

namespace {

using parvel::test::Utf8;

std::string Quote(const std::wstring& text) { return parvel::test::HostQuote(text); }

FILE* g_out = nullptr;

void Emit(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  if (g_out != nullptr) {
    std::fwrite(line.data(), 1, line.size(), g_out);
    std::fputc('\n', g_out);
    std::fflush(g_out);
  }
}

struct ButtonName {
  const char* name;
  int id;
};
const ButtonName kButtons[] = {{"ok", IDOK},       {"cancel", IDCANCEL}, {"abort", IDABORT},
                               {"retry", IDRETRY}, {"ignore", IDIGNORE}, {"yes", IDYES},
                               {"no", IDNO},       {"close", IDCLOSE}};

const char* NameOfButton(int id) {
  for (const auto& b : kButtons) {
    if (b.id == id) return b.name;
  }
  return "unknown";
}

std::vector<int> g_script;
unsigned g_delayMs = 0;
const UINT_PTR kAnswerTimer = 0x7E57;
size_t g_next = 0;
HHOOK g_hook = nullptr;

// The box is not shown yet when it is activated, so a control's own style
// bit tells whether it will be visible.
bool Shown(HWND control) {
  return control != nullptr && (::GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE) != 0;
}

std::wstring WindowText(HWND window) {
  const int length = ::GetWindowTextLengthW(window);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  const int got = ::GetWindowTextW(window, text.data(), length + 1);
  text.resize(static_cast<size_t>(got > 0 ? got : 0));
  return text;
}

// Which standard icon a message box shows, told by its icon control's
// handle: the system's standard icons are shared, so the handles compare
// equal. The icon control's id differs between Windows versions, so it is
// found by its SS_ICON style.
BOOL CALLBACK FindIconControl(HWND child, LPARAM found) {
  wchar_t className[16] = {};
  ::GetClassNameW(child, className, 16);
  if (_wcsicmp(className, L"Static") == 0 && (::GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
    *reinterpret_cast<HWND*>(found) = child;
    return FALSE;
  }
  return TRUE;
}

const char* IconOf(HWND box) {
  HWND control = nullptr;
  ::EnumChildWindows(box, FindIconControl, reinterpret_cast<LPARAM>(&control));
  if (!Shown(control)) return "none";
  const auto icon = reinterpret_cast<HICON>(::SendMessageW(control, STM_GETICON, 0, 0));
  if (icon == nullptr) return "none";
  struct {
    LPCWSTR id;
    const char* name;
  } const kIcons[] = {{IDI_INFORMATION, "information"},
                      {IDI_WARNING, "warning"},
                      {IDI_ERROR, "error"},
                      {IDI_QUESTION, "question"}};
  for (const auto& k : kIcons) {
    if (::LoadIconW(nullptr, k.id) == icon) return k.name;
  }
  return "other";
}

// The button set of a message box, named after its MB_ style.
std::string ButtonSetOf(HWND box, std::vector<int>& present) {
  for (const auto& b : kButtons) {
    HWND control = ::GetDlgItem(box, b.id);
    if (Shown(control)) present.push_back(b.id);
  }
  auto has = [&](int id) {
    for (int p : present) {
      if (p == id) return true;
    }
    return false;
  };
  if (has(IDYES) && has(IDNO)) return has(IDCANCEL) ? "yesnocancel" : "yesno";
  if (has(IDABORT)) return "abortretryignore";
  if (has(IDRETRY)) return "retrycancel";
  if (has(IDOK)) return has(IDCANCEL) ? "okcancel" : "ok";
  return "other";
}

void PressButton(HWND box, int id) {
  ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(box, id)));
}

void CALLBACK AnswerLater(HWND box, UINT, UINT_PTR timer, DWORD) {
  ::KillTimer(box, timer);
  PressButton(box, static_cast<int>(reinterpret_cast<INT_PTR>(::RemovePropW(box, L"TestHostAnswer"))));
}

LRESULT CALLBACK CbtHook(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_ACTIVATE) {
    HWND window = reinterpret_cast<HWND>(wParam);
    wchar_t className[64] = {};
    ::GetClassNameW(window, className, 64);
    // A message box is a dialog whose text is the static control 0xFFFF.
    HWND textControl = ::GetDlgItem(window, 0xFFFF);
    if (std::wcscmp(className, L"#32770") == 0 && textControl != nullptr &&
        ::GetWindowLongPtrW(window, GWLP_USERDATA) == 0) {
      ::SetWindowLongPtrW(window, GWLP_USERDATA, 1);  // Answered once only.
      std::vector<int> present;
      const std::string buttons = ButtonSetOf(window, present);
      int answer = 0;
      std::string note;
      if (g_next < g_script.size()) {
        answer = g_script[g_next++];
      } else {
        // Nothing scripted: close it the way Esc would, so no test hangs.
        answer = present.empty() ? IDCANCEL : present.back();
        for (int p : present) {
          if (p == IDCANCEL || p == IDNO) answer = p;
        }
        note = " unscripted";
      }
      const HWND owner = ::GetWindow(window, GW_OWNER);
      Emit("messagebox caption=" + Quote(WindowText(window)) + " text=" + Quote(WindowText(textControl)) +
           " buttons=" + buttons + " icon=" + IconOf(window) + " owner=" + (owner ? "yes" : "none") +
           " answer=" + NameOfButton(answer) + note);
      if (g_delayMs == 0) {
        PressButton(window, answer);
      } else {
        RECT rect = {};
        ::GetWindowRect(window, &rect);
        Emit("messagebox-rect x=" + std::to_string(rect.left) + " y=" + std::to_string(rect.top) +
             " width=" + std::to_string(rect.right - rect.left) +
             " height=" + std::to_string(rect.bottom - rect.top));
        ::SetPropW(window, L"TestHostAnswer", reinterpret_cast<HANDLE>(static_cast<INT_PTR>(answer)));
        ::SetTimer(window, kAnswerTimer, g_delayMs, AnswerLater);
      }
    }
  }
  return ::CallNextHookEx(g_hook, code, wParam, lParam);
}

std::wstring ProgramDirectory() {
  std::wstring path(32768, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return path.substr(0, path.rfind(L'\\') + 1);
}

int Usage() {
  std::fputs("usage: TestHost.exe [--buttons ok,yes,...] [--delay MS] [--out FILE] EXPORT[=ARG] ...\n", stderr);
  return 2;
}

// The shapes of the exports' arguments.
enum class Shape { None, Value, WidePath, AnsiText };

struct ExportInfo {
  const wchar_t* name;
  Shape shape;
};

const ExportInfo kExports[] = {
    {L"UpdatExe", Shape::Value},         {L"InitWorkMemory", Shape::None},
    {L"UpWorkdate", Shape::Value},       {L"GetUpdat", Shape::None},
    {L"GetMD5ForFileManager", Shape::WidePath}, {L"FennickUpdat", Shape::AnsiText},
    {L"GetUnUrl", Shape::None},          {L"IsModuleLoaded", Shape::None},
    {L"CreatOrDeleteShortcut", Shape::None},
};

// GetProcAddress gives a generic function pointer; going through void(*)()
// tells the compiler that the cast to the export's real type is meant.
template <typename Function>
Function As(FARPROC address) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> calls;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--buttons" && i + 1 < argc) {
      std::wstring list = argv[++i];
      size_t start = 0;
      while (start <= list.size()) {
        size_t comma = list.find(L',', start);
        if (comma == std::wstring::npos) comma = list.size();
        const std::string name = Utf8(list.substr(start, comma - start));
        if (!name.empty()) {
          int id = 0;
          for (const auto& b : kButtons) {
            if (name == b.name) id = b.id;
          }
          if (id == 0) return Usage();
          g_script.push_back(id);
        }
        start = comma + 1;
      }
    } else if (arg == L"--delay" && i + 1 < argc) {
      g_delayMs = static_cast<unsigned>(std::wcstoul(argv[++i], nullptr, 10));
    } else if (arg == L"--out" && i + 1 < argc) {
      g_out = _wfopen(argv[++i], L"wb");
      if (g_out == nullptr) return Usage();
    } else {
      calls.push_back(arg);
    }
  }
  if (calls.empty()) return Usage();

  const std::wstring libraryPath = ProgramDirectory() + L"Marlock.dll";
  HMODULE library = ::LoadLibraryW(libraryPath.c_str());
  if (library == nullptr) {
    Emit("error load path=" + Quote(libraryPath) + " code=" + std::to_string(::GetLastError()));
    return 3;
  }
  Emit("load path=" + Quote(libraryPath));
  g_hook = ::SetWindowsHookExW(WH_CBT, CbtHook, nullptr, ::GetCurrentThreadId());

  int status = 0;
  for (const std::wstring& call : calls) {
    const size_t equals = call.find(L'=');
    const std::wstring name = call.substr(0, equals);
    const bool hasArgument = equals != std::wstring::npos;
    const std::wstring argument = hasArgument ? call.substr(equals + 1) : std::wstring();
    const ExportInfo* info = nullptr;
    for (const auto& e : kExports) {
      if (name == e.name) info = &e;
    }
    FARPROC address = ::GetProcAddress(library, Utf8(name).c_str());
    if (info == nullptr || address == nullptr) {
      Emit("error call=" + Utf8(name) + " missing");
      status = 4;
      continue;
    }
    // Only the low byte of the result is defined, so read it as one byte.
    unsigned char value = 0;
    switch (info->shape) {
      case Shape::None:
        value = As<unsigned char(__stdcall*)()>(address)();
        break;
      case Shape::Value:
        value = As<unsigned char(__stdcall*)(int)>(address)(
            static_cast<int>(std::wcstol(argument.c_str(), nullptr, 0)));
        break;
      case Shape::WidePath:
        value = As<unsigned char(__stdcall*)(const wchar_t*)>(address)(
            argument == L"<null>" ? nullptr : argument.c_str());
        break;
      case Shape::AnsiText: {
        const int size = ::WideCharToMultiByte(CP_ACP, 0, argument.c_str(), -1, nullptr, 0, nullptr, nullptr);
        std::string narrow(static_cast<size_t>(size), '\0');
        ::WideCharToMultiByte(CP_ACP, 0, argument.c_str(), -1, narrow.data(), size, nullptr, nullptr);
        value = As<unsigned char(__stdcall*)(const char*)>(address)(narrow.c_str());
        break;
      }
    }
    Emit("result call=" + Utf8(name) + " value=" + std::to_string(value));
  }

  ::UnhookWindowsHookEx(g_hook);
  ::FreeLibrary(library);
  if (g_out != nullptr) std::fclose(g_out);
  return status;
}
