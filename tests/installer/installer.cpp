// A stand-in for the product's installer, started by the updater in the
// tests. It writes one line about how it was started into
// "installer-record.txt" beside itself and ends at once:
//
//   module=<own path>\tcommand_line=<as the system holds it>\tflags=<dwFlags>\t
//   show_window=<wShowWindow>\tsize=<own file size in bytes>\r\n
//
// in UTF-8, appended, so several starts leave several lines. The file size
// tells apart copies of this program that carry different padding at their
// end, which lets a test see which installer file was the one started.

#include <windows.h>

namespace {

void Append(HANDLE file, const wchar_t* text) {
  const int length = ::lstrlenW(text);
  if (length == 0) return;
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  HANDLE heap = ::GetProcessHeap();
  char* buffer = static_cast<char*>(::HeapAlloc(heap, 0, static_cast<SIZE_T>(bytes)));
  if (buffer == nullptr) return;
  ::WideCharToMultiByte(CP_UTF8, 0, text, length, buffer, bytes, nullptr, nullptr);
  DWORD written = 0;
  ::WriteFile(file, buffer, static_cast<DWORD>(bytes), &written, nullptr);
  ::HeapFree(heap, 0, buffer);
}

void AppendNumber(HANDLE file, unsigned long long value) {
  wchar_t digits[24];
  int at = 23;
  digits[at] = L'\0';
  do {
    digits[--at] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  Append(file, digits + at);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  wchar_t module[MAX_PATH * 4];
  const DWORD length = ::GetModuleFileNameW(nullptr, module, MAX_PATH * 4);
  if (length == 0 || length >= MAX_PATH * 4) return 1;

  wchar_t record[MAX_PATH * 4 + 32];
  ::lstrcpyW(record, module);
  wchar_t* slash = record;
  for (wchar_t* at = record; *at != L'\0'; ++at) {
    if (*at == L'\\') slash = at + 1;
  }
  ::lstrcpyW(slash, L"installer-record.txt");

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  ::GetStartupInfoW(&startup);

  unsigned long long size = 0;
  WIN32_FILE_ATTRIBUTE_DATA attributes{};
  if (::GetFileAttributesExW(module, GetFileExInfoStandard, &attributes)) {
    size = (static_cast<unsigned long long>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow;
  }

  HANDLE file = ::CreateFileW(record, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  Append(file, L"module=");
  Append(file, module);
  Append(file, L"\tcommand_line=");
  Append(file, ::GetCommandLineW());
  Append(file, L"\tflags=");
  AppendNumber(file, startup.dwFlags);
  Append(file, L"\tshow_window=");
  AppendNumber(file, startup.wShowWindow);
  Append(file, L"\tsize=");
  AppendNumber(file, size);
  Append(file, L"\r\n");
  ::CloseHandle(file);
  return 0;
}
