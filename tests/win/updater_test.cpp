// The updater program under Wine, driven as a person would drive it: each
// case copies ParvelUpdate.exe into a fresh directory, starts it with the
// command line the library gives it, watches its window, clicks its buttons
// and answers its message boxes. The installer it downloads from the scripted
// server is a stand-in that writes down how it was started.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/win/support/host_runner.h"
#include "tests/win/support/scripted_server.h"
#include "tests/win/support/window_driver.h"
#include "updater/resource.h"

namespace parvel {
namespace {

using test::ClassName;
using test::Click;
using test::ControlText;
using test::ControlVisible;
using test::IsShown;
using test::MessageBoxes;
using test::MessageBoxInfo;
using test::Post;
using test::Response;
using test::Rule;
using test::ScriptedServer;
using test::StartedProgram;
using test::TopLevelWindows;
using test::Utf8;
using test::WaitForMessageBox;
using test::WaitUntil;
using test::Wide;
using test::WindowRect;
using test::WindowText;

constexpr UINT WM_TRAY_NOTIFY = WM_USER + 101;
constexpr wchar_t kPromptCaption[] = L"Parvel更新提示";
constexpr char kInstallerPath[] = "/download/Setup_open-V2.0.exe";
constexpr wchar_t kInstallerName[] = L"Setup_open-V2.0.exe";

// Generous limits for a loaded machine; none of them measures speed.
constexpr DWORD kStartLimitMs = 20000;
constexpr DWORD kExitLimitMs = 20000;
constexpr DWORD kDownloadLimitMs = 60000;

std::string ReadFileBytes(const std::wstring& path) { return test::ReadBytes(path); }

bool SameRect(const RECT& rect, int x, int y, int width, int height) {
  return rect.left == x && rect.top == y && rect.right - rect.left == width && rect.bottom - rect.top == height;
}

std::string Describe(const RECT& rect) {
  std::ostringstream out;
  out << "(" << rect.left << ", " << rect.top << ") " << rect.right - rect.left << " x " << rect.bottom - rect.top;
  return out.str();
}

bool EqualsIgnoringCase(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

// The spaces and texts of the remaining-time line around its number.
std::wstring RemainingTimeTail(const std::wstring& sizeText) {
  return L" 秒" + std::wstring(11, L' ') + L"文件大小: " + sizeText + L"MB";
}

// Whether `line` is a remaining-time line: a decimal number, then the tail.
bool IsRemainingTimeLine(const std::wstring& line, const std::wstring& sizeText) {
  const std::wstring tail = RemainingTimeTail(sizeText);
  if (line.size() <= tail.size() || line.compare(line.size() - tail.size(), tail.size(), tail) != 0) return false;
  const std::wstring number = line.substr(0, line.size() - tail.size());
  return std::all_of(number.begin(), number.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

// One start of the stand-in installer, as it wrote it down.
struct InstallerRecord {
  std::wstring module;
  std::wstring commandLine;
  DWORD flags = 0;
  WORD showWindow = 0;
  uint64_t size = 0;
};

std::vector<InstallerRecord> ReadRecords(const std::wstring& file) {
  std::vector<InstallerRecord> records;
  std::istringstream in(ReadFileBytes(file));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::map<std::string, std::string> fields;
    std::istringstream parts(line);
    std::string part;
    while (std::getline(parts, part, '\t')) {
      const size_t equals = part.find('=');
      if (equals != std::string::npos) fields[part.substr(0, equals)] = part.substr(equals + 1);
    }
    InstallerRecord record;
    record.module = Wide(fields["module"]);
    record.commandLine = Wide(fields["command_line"]);
    record.flags = static_cast<DWORD>(std::stoul(fields["flags"]));
    record.showWindow = static_cast<WORD>(std::stoul(fields["show_window"]));
    record.size = std::stoull(fields["size"]);
    records.push_back(record);
  }
  return records;
}

std::vector<std::wstring> FileNames(const std::wstring& directory) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = ::FindFirstFileW((directory + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

class UpdaterTest : public testing::Test {
 protected:
  void SetUp() override {
    server_.Reset();
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "-" + info->name();
    std::replace(name.begin(), name.end(), '/', '-');
    directory_ = test::MakeScratchDirectory(L"updater-" + Wide(name));
    // The updater is started from another current directory, so a download
    // that went there instead of beside the program would be noticed.
    elsewhere_ = test::MakeScratchDirectory(L"updater-cwd-" + Wide(name));
    updater_ = directory_ + L"ParvelUpdate.exe";
    ASSERT_TRUE(::CopyFileW((test::TestProgramDirectory() + L"ParvelUpdate.exe").c_str(), updater_.c_str(), FALSE))
        << "ParvelUpdate.exe beside the test program";
  }

  void TearDown() override {
    // Nothing may ever land in the current directory.
    EXPECT_TRUE(FileNames(elsewhere_).empty()) << Utf8(elsewhere_);
  }

  // The stand-in installer that the server hands out.
  static const std::string& Installer() {
    static const std::string bytes = ReadFileBytes(test::TestProgramDirectory() + L"parvel_test_installer.exe");
    return bytes;
  }

  // An older copy of the installer: the same program with padding at its
  // end, so its record shows a different size.
  static std::string OlderInstaller() { return Installer() + std::string(4096, '\0'); }

  // The installer, sent in about `pieces` slices over `milliseconds`.
  static Response Trickled(int pieces, int milliseconds) {
    const int size = static_cast<int>(Installer().size());
    return Response::Ok(Installer(), "application/octet-stream").Trickle(size / pieces + 1, milliseconds / pieces);
  }

  std::wstring Address(const std::string& path = kInstallerPath) const { return server_.WideUrl(path); }
  std::wstring InstallerFile() const { return directory_ + kInstallerName; }
  std::wstring RecordFile() const { return directory_ + L"installer-record.txt"; }

  StartedProgram Start(const std::wstring& commandLine) {
    StartedProgram program = StartedProgram::Start(updater_, commandLine, elsewhere_);
    EXPECT_TRUE(program.Started()) << "CreateProcessW error " << program.StartError();
    return program;
  }

  // The updater's one window, hidden or not.
  static HWND FindPrompt(const StartedProgram& program, DWORD timeoutMs = kStartLimitMs) {
    return test::WaitForWindow(
        program.Id(), [](HWND w) { return ClassName(w) == L"#32770" && WindowText(w) == kPromptCaption; },
        timeoutMs);
  }

  // Waits until the prompt is up and checks what it shows.
  static void ExpectPromptShown(HWND prompt) {
    ASSERT_TRUE(WaitUntil([&] { return IsShown(prompt) && SameRect(WindowRect(prompt), 400, 200, 285, 140); },
                          kStartLimitMs))
        << "prompt at " << Describe(WindowRect(prompt));
    EXPECT_TRUE(ControlVisible(prompt, IDOK));
    EXPECT_TRUE(ControlVisible(prompt, IDCANCEL));
    EXPECT_EQ(ControlText(prompt, IDOK), L"立即更新");
    EXPECT_EQ(ControlText(prompt, IDCANCEL), L"下次更新");
    for (int id : {IDC_PROGRESS, IDC_BANNER, IDC_DOWNLOADING, IDC_FILE_NAME}) {
      EXPECT_FALSE(ControlVisible(prompt, id)) << "control " << id;
    }
  }

  // Clicks "立即更新" in the manual mode and checks the download view.
  static void StartManualDownload(HWND prompt) {
    ASSERT_TRUE(Click(prompt, IDOK));
    ASSERT_TRUE(WaitUntil([&] { return SameRect(WindowRect(prompt), 300, 300, 407, 248); }, kStartLimitMs))
        << "download view at " << Describe(WindowRect(prompt));
    EXPECT_TRUE(IsShown(prompt));
    EXPECT_FALSE(ControlVisible(prompt, IDOK));
    EXPECT_FALSE(ControlVisible(prompt, IDCANCEL));
    for (int id : {IDC_PROGRESS, IDC_BANNER, IDC_DOWNLOADING, IDC_FILE_NAME, IDC_REMAINING_TIME}) {
      EXPECT_TRUE(ControlVisible(prompt, id)) << "control " << id;
    }
    EXPECT_EQ(ControlText(prompt, IDC_FILE_NAME), kInstallerName);
    EXPECT_EQ(ControlText(prompt, IDC_DOWNLOADING), L"正在下载升级文件");
  }

  static int BarPosition(HWND prompt) {
    return static_cast<int>(test::Send(test::Control(prompt, IDC_PROGRESS), PBM_GETPOS, 0, 0).value_or(-1));
  }

  // Waits for the program to end and checks that it ended with 0.
  static void ExpectExitZero(const StartedProgram& program) {
    const auto code = program.WaitForExit(kExitLimitMs);
    ASSERT_TRUE(code.has_value()) << "the updater did not end";
    EXPECT_EQ(*code, 0u);
  }

  // The records of the installer, waiting until there are `count`.
  std::vector<InstallerRecord> WaitForRecords(size_t count) const {
    WaitUntil([&] { return ReadRecords(RecordFile()).size() >= count; }, kExitLimitMs);
    return ReadRecords(RecordFile());
  }

  // Checks that the installer at InstallerFile() was started once, with no
  // arguments, in a normal window, and that it was the file of `size` bytes.
  void ExpectInstallerStarted(uint64_t size) const {
    const auto records = WaitForRecords(1);
    ASSERT_EQ(records.size(), 1u);
    const InstallerRecord& record = records[0];
    EXPECT_TRUE(EqualsIgnoringCase(record.module, InstallerFile())) << Utf8(record.module);
    // No command line of its own: the system gives the program's path, which
    // may be quoted; nothing follows it.
    std::wstring line = record.commandLine;
    if (line.size() >= 2 && line.front() == L'"' && line.back() == L'"') line = line.substr(1, line.size() - 2);
    EXPECT_TRUE(EqualsIgnoringCase(line, InstallerFile())) << Utf8(record.commandLine);
    EXPECT_EQ(record.flags, static_cast<DWORD>(STARTF_USESHOWWINDOW));
    EXPECT_EQ(record.showWindow, SW_SHOWNORMAL);
    EXPECT_EQ(record.size, size);
  }

  void ExpectOneDownloadRequest(const std::string& path = kInstallerPath) {
    const auto requests = server_.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, path);
  }

  void ExpectOnlyTheUpdater() const {
    EXPECT_EQ(FileNames(directory_), std::vector<std::wstring>{L"ParvelUpdate.exe"});
  }

  ScriptedServer server_;
  std::wstring directory_;
  std::wstring elsewhere_;
  std::wstring updater_;
};

// ------------------------------------------------------------- resources

// A read-only view of the program's resources.
class UpdaterResources : public testing::Test {
 protected:
  void SetUp() override {
    module_ = ::LoadLibraryExW((test::TestProgramDirectory() + L"ParvelUpdate.exe").c_str(), nullptr,
                               LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module_, nullptr);
  }
  void TearDown() override {
    if (module_ != nullptr) ::FreeLibrary(module_);
  }

  // The bytes of a resource in Chinese (PRC); empty when there is none.
  std::string Resource(LPCWSTR type, LPCWSTR name) const {
    HRSRC found = ::FindResourceExW(module_, type, name, MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED));
    if (found == nullptr) return {};
    HGLOBAL loaded = ::LoadResource(module_, found);
    const auto* bytes = static_cast<const char*>(::LockResource(loaded));
    return std::string(bytes, ::SizeofResource(module_, found));
  }

  HMODULE module_ = nullptr;
};

// Reads the parts of an extended dialog template.
class TemplateReader {
 public:
  explicit TemplateReader(const std::string& bytes) : bytes_(bytes) {}
  template <typename T>
  T Read() {
    T value{};
    if (at_ + sizeof(T) <= bytes_.size()) std::memcpy(&value, bytes_.data() + at_, sizeof(T));
    at_ += sizeof(T);
    return value;
  }
  // A name or ordinal field: text, or "#<number>" for an ordinal.
  std::wstring NameOrOrdinal() {
    const auto first = Read<uint16_t>();
    if (first == 0xFFFF) return L"#" + std::to_wstring(Read<uint16_t>());
    std::wstring text;
    for (uint16_t unit = first; unit != 0; unit = Read<uint16_t>()) text.push_back(static_cast<wchar_t>(unit));
    return text;
  }
  void AlignTo4() { at_ = (at_ + 3) & ~size_t{3}; }
  void Skip(size_t count) { at_ += count; }

 private:
  const std::string& bytes_;
  size_t at_ = 0;
};

struct TemplateControl {
  DWORD id;
  std::wstring className;  // the class as written, or "#128" and so on for the predefined ones
  std::wstring text;
  DWORD style;             // beyond WS_CHILD | WS_VISIBLE
  short x, y, cx, cy;
};

TEST_F(UpdaterResources, PromptDialogHasEveryControlInPlace) {
  const std::string bytes = Resource(RT_DIALOG, MAKEINTRESOURCEW(IDD_UPDATE_PROMPT));
  ASSERT_FALSE(bytes.empty());
  TemplateReader in(bytes);
  EXPECT_EQ(in.Read<uint16_t>(), 1);       // dlgVer
  EXPECT_EQ(in.Read<uint16_t>(), 0xFFFF);  // an extended template
  in.Read<DWORD>();                        // help id
  EXPECT_EQ(in.Read<DWORD>(), 0u);         // extended style
  const DWORD style = in.Read<DWORD>();
  EXPECT_EQ(style, static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME |
                                      DS_SETFONT | DS_FIXEDSYS));
  EXPECT_EQ(style & WS_VISIBLE, 0u);  // created hidden
  const auto count = in.Read<uint16_t>();
  EXPECT_EQ(in.Read<short>(), 0);
  EXPECT_EQ(in.Read<short>(), 0);
  EXPECT_EQ(in.Read<short>(), 269);
  EXPECT_EQ(in.Read<short>(), 161);
  EXPECT_EQ(in.NameOrOrdinal(), L"");  // no menu
  EXPECT_EQ(in.NameOrOrdinal(), L"");  // the standard dialog class
  EXPECT_EQ(in.NameOrOrdinal(), kPromptCaption);
  EXPECT_EQ(in.Read<uint16_t>(), 8);   // point size
  EXPECT_EQ(in.Read<uint16_t>(), 400); // weight
  in.Read<uint16_t>();                 // italic, charset
  EXPECT_EQ(in.NameOrOrdinal(), L"MS Shell Dlg");

  const DWORD kLeft = SS_LEFT | WS_GROUP;
  const std::vector<TemplateControl> expected = {
      {IDOK, L"#128", L"立即更新", BS_DEFPUSHBUTTON | WS_TABSTOP, 31, 38, 50, 14},
      {IDCANCEL, L"#128", L"下次更新", BS_PUSHBUTTON | WS_TABSTOP, 103, 38, 50, 14},
      {0xFFFFFFFF, L"#130", L"检查当前有新版本，是否立即更新！", kLeft, 31, 14, 144, 8},
      {IDC_PROGRESS, L"msctls_progress32", L"", PBS_SMOOTH, 2, 72, 262, 8},
      {IDC_BANNER, L"Static", L"#131", SS_BITMAP, 0, 1, 267, 40},
      {0xFFFFFFFF, L"#130", L"剩余时间:", kLeft, 3, 86, 40, 8},
      {IDC_REMAINING_TIME, L"#130", L"", kLeft, 41, 86, 203, 8},
      {IDC_DOWNLOADING, L"#130", L"正在下载升级文件", kLeft, 3, 46, 110, 8},
      {IDC_FILE_NAME, L"#130", L"", kLeft, 3, 58, 134, 8},
  };
  ASSERT_EQ(count, expected.size());
  for (const TemplateControl& want : expected) {
    SCOPED_TRACE(Utf8(want.text) + " / " + std::to_string(want.id));
    in.AlignTo4();
    in.Read<DWORD>();  // help id
    EXPECT_EQ(in.Read<DWORD>(), 0u);
    const DWORD controlStyle = in.Read<DWORD>();
    EXPECT_EQ(controlStyle, static_cast<DWORD>(WS_CHILD | WS_VISIBLE | want.style));
    EXPECT_EQ(in.Read<short>(), want.x);
    EXPECT_EQ(in.Read<short>(), want.y);
    EXPECT_EQ(in.Read<short>(), want.cx);
    EXPECT_EQ(in.Read<short>(), want.cy);
    EXPECT_EQ(in.Read<DWORD>(), want.id);
    EXPECT_TRUE(EqualsIgnoringCase(in.NameOrOrdinal(), want.className));
    EXPECT_EQ(in.NameOrOrdinal(), want.text);
    in.Skip(in.Read<uint16_t>());  // creation data
  }
}

TEST_F(UpdaterResources, IconHasThreeSizesAtThreeDepths) {
  const std::string group = Resource(RT_GROUP_ICON, MAKEINTRESOURCEW(IDI_UPDATER));
  ASSERT_GE(group.size(), 6u);
  TemplateReader in(group);
  in.Read<uint16_t>();
  EXPECT_EQ(in.Read<uint16_t>(), 1);  // icons
  const auto count = in.Read<uint16_t>();
  std::vector<std::pair<int, int>> found;  // size, bits per pixel
  for (int i = 0; i < count; ++i) {
    const int width = in.Read<uint8_t>();
    const int height = in.Read<uint8_t>();
    in.Skip(2);                            // colours, reserved
    in.Read<uint16_t>();                   // planes
    const int bits = in.Read<uint16_t>();
    in.Read<DWORD>();                      // bytes
    const auto id = in.Read<uint16_t>();
    EXPECT_EQ(width, height);
    // The picture itself, whose header says the same.
    const std::string image = Resource(RT_ICON, MAKEINTRESOURCEW(id));
    ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
    BITMAPINFOHEADER header;
    std::memcpy(&header, image.data(), sizeof(header));
    EXPECT_EQ(header.biWidth, width);
    EXPECT_EQ(header.biBitCount, bits);
    found.emplace_back(width, bits);
  }
  std::sort(found.begin(), found.end());
  const std::vector<std::pair<int, int>> expected = {{16, 4}, {16, 8}, {16, 32}, {32, 4}, {32, 8},
                                                     {32, 32}, {48, 4}, {48, 8}, {48, 32}};
  EXPECT_EQ(found, expected);
}

TEST_F(UpdaterResources, BannerIs400By65At24Bits) {
  const std::string bitmap = Resource(RT_BITMAP, MAKEINTRESOURCEW(IDB_BANNER));
  ASSERT_GE(bitmap.size(), sizeof(BITMAPINFOHEADER));
  BITMAPINFOHEADER header;
  std::memcpy(&header, bitmap.data(), sizeof(header));
  EXPECT_EQ(header.biWidth, 400);
  EXPECT_EQ(std::abs(header.biHeight), 65);
  EXPECT_EQ(header.biBitCount, 24);
}

TEST_F(UpdaterResources, ManifestAsksForTheCallersLevelAndCommonControls6) {
  const std::string manifest = Resource(RT_MANIFEST, MAKEINTRESOURCEW(1));
  ASSERT_FALSE(manifest.empty());
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
}

// ------------------------------------------------------------- start-up

TEST_F(UpdaterTest, EndsAtOnceWithoutAUsableCommandLine) {
  const std::wstring base = server_.WideUrl("/download/");
  const std::vector<std::wstring> commandLines = {
      L"",
      L"ParvelUpdate.exe",
      Address(),                                    // no separator
      base + L"ParvelSetup-V2.0.exe#9.6",           // no "Setup_open-V"
      base + L"Setup_open-V2.0.zip~9.6",            // no ".exe"
      server_.WideUrl("/x.exe/Setup_open-V2.0.exe#9.6"),  // ".exe" before the first "-"
      base + L"Setup_open-V2.0/../../evil.exe#9.6", // the file name leaves the directory
      base + L"Setup_open-V2.0\\evil.exe~9.6",
      base + L"Setup_open-V2.0.exe:stream~9.6",
      base + L"Setup_open-V2.0.exe?from=mail#9.6",
      base + L"Setup_open-V*.exe~9.6",
      base + L"Setup_open-V2.0\".exe~9.6",
      base + L"Setup_open-V..exe#9.6",
      base + L"Setup_open-V2.0\t.exe#9.6",
  };
  for (const std::wstring& commandLine : commandLines) {
    SCOPED_TRACE(Utf8(commandLine));
    StartedProgram program = Start(commandLine);
    ASSERT_TRUE(program.Started());
    // Watch for any window until the program has ended.
    bool sawWindow = false;
    const bool ended = WaitUntil(
        [&] {
          if (!TopLevelWindows(program.Id()).empty()) sawWindow = true;
          return !program.Running();
        },
        kExitLimitMs, 10);
    ASSERT_TRUE(ended);
    EXPECT_FALSE(sawWindow);
    ExpectExitZero(program);
    ExpectOnlyTheUpdater();
  }
  EXPECT_TRUE(server_.Requests().empty());
}

// -------------------------------------------------------------- the prompt

TEST_F(UpdaterTest, ManualPromptComesAtOnceWithQuestionAndButtons) {
  StartedProgram program = Start(Address() + L"~9.6");
  const HWND prompt = FindPrompt(program);
  ASSERT_NE(prompt, nullptr);
  ExpectPromptShown(prompt);
  // The label of the remaining time stays below the window's edge.
  EXPECT_EQ(ControlText(prompt, IDC_REMAINING_TIME), L"");
  ASSERT_TRUE(Click(prompt, IDCANCEL));
  ExpectExitZero(program);
  EXPECT_TRUE(server_.Requests().empty());
  ExpectOnlyTheUpdater();
}

TEST_F(UpdaterTest, AutomaticPromptWaitsTenSeconds) {
  const ULONGLONG started = ::GetTickCount64();
  StartedProgram program = Start(Address() + L"#9.6");
  const HWND prompt = FindPrompt(program);
  ASSERT_NE(prompt, nullptr);
  // Well past the manual delay, the window is still hidden.
  ::Sleep(4000);
  EXPECT_FALSE(IsShown(prompt));
  ExpectPromptShown(prompt);
  EXPECT_GE(::GetTickCount64() - started, 9000u);
  ASSERT_TRUE(Click(prompt, IDCANCEL));
  ExpectExitZero(program);
  EXPECT_TRUE(server_.Requests().empty());
}

// An icon event of the shell brings up the prompt early, and only once.
class UpdaterIconEventTest : public UpdaterTest, public testing::WithParamInterface<LPARAM> {};

TEST_P(UpdaterIconEventTest, BringsThePromptOnce) {
  StartedProgram program = Start(Address() + L"#9.6");
  const HWND prompt = FindPrompt(program);
  ASSERT_NE(prompt, nullptr);
  // Events that mean nothing: button presses and double clicks, and a known
  // event for another icon id.
  for (LPARAM ignored : {WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_LBUTTONDBLCLK, WM_CONTEXTMENU}) {
    Post(prompt, WM_TRAY_NOTIFY, 1, ignored);
  }
  Post(prompt, WM_TRAY_NOTIFY, 2, GetParam());
  ::Sleep(1500);
  EXPECT_FALSE(IsShown(prompt));

  Post(prompt, WM_TRAY_NOTIFY, 1, GetParam());
  ExpectPromptShown(prompt);
  // Moved away by hand, the window stays where it is on the next event.
  ::SetWindowPos(prompt, nullptr, 20, 30, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  Post(prompt, WM_TRAY_NOTIFY, 1, GetParam());
  ::Sleep(1000);
  EXPECT_EQ(WindowRect(prompt).left, 20);
  EXPECT_EQ(WindowRect(prompt).top, 30);

  Post(prompt, WM_CLOSE);
  ExpectExitZero(program);
}

INSTANTIATE_TEST_SUITE_P(Events, UpdaterIconEventTest,
                         testing::Values(WM_MOUSEMOVE, WM_LBUTTONUP, WM_RBUTTONUP, NIN_BALLOONTIMEOUT,
                                         NIN_BALLOONUSERCLICK),
                         [](const testing::TestParamInfo<LPARAM>& info) {
                           switch (info.param) {
                             case WM_MOUSEMOVE: return std::string("MouseMove");
                             case WM_LBUTTONUP: return std::string("LeftButtonUp");
                             case WM_RBUTTONUP: return std::string("RightButtonUp");
                             case NIN_BALLOONTIMEOUT: return std::string("BalloonTimeout");
                             default: return std::string("BalloonClick");
                           }
                         });

// Every way out of the prompt ends the program with 0 and fetches nothing.
enum class Ending { NextTime, CloseBox, RightButton, CloseBeforePrompt };

class UpdaterEndingTest : public UpdaterTest, public testing::WithParamInterface<Ending> {};

TEST_P(UpdaterEndingTest, EndsWithZeroAndFetchesNothing) {
  const bool early = GetParam() == Ending::CloseBeforePrompt;
  StartedProgram program = Start(Address() + (early ? L"#9.6" : L"~9.6"));
  const HWND prompt = FindPrompt(program);
  ASSERT_NE(prompt, nullptr);
  switch (GetParam()) {
    case Ending::NextTime:
      ExpectPromptShown(prompt);
      Click(prompt, IDCANCEL);
      break;
    case Ending::CloseBox:
      ExpectPromptShown(prompt);
      Post(prompt, WM_SYSCOMMAND, SC_CLOSE, 0);
      break;
    case Ending::RightButton:
      ExpectPromptShown(prompt);
      Post(prompt, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(250, 20));
      break;
    case Ending::CloseBeforePrompt:
      Post(prompt, WM_CLOSE);
      break;
  }
  ExpectExitZero(program);
  EXPECT_TRUE(server_.Requests().empty());
  ExpectOnlyTheUpdater();
}

INSTANTIATE_TEST_SUITE_P(Ways, UpdaterEndingTest,
                         testing::Values(Ending::NextTime, Ending::CloseBox, Ending::RightButton,
                                         Ending::CloseBeforePrompt),
                         [](const testing::TestParamInfo<Ending>& info) {
                           switch (info.param) {
                             case Ending::NextTime: return std::string("NextTime");
                             case Ending::CloseBox: return std::string("CloseBox");
                             case Ending::RightButton: return std::string("RightButton");
                             default: return std::string("CloseBeforePrompt");
                           }
                         });

// ------------------------------------------------------------ the download

TEST_F(UpdaterTest, ManualDownloadReplacesTheOlderInstallerAndStartsItOnYes) {
  ASSERT_TRUE(test::WriteBytes(InstallerFile(), OlderInstaller()));
  server_.Reply(kInstallerPath, Trickled(25, 6000));
  StartedProgram program = Start(Address() + L"~9.6");
  const HWND prompt = FindPrompt(program);
  ASSERT_NE(prompt, nullptr);
  ExpectPromptShown(prompt);
  StartManualDownload(prompt);

  // Mid-way the bar moves and the remaining time is estimated.
  EXPECT_TRUE(WaitUntil([&] { return BarPosition(prompt) > 0 && BarPosition(prompt) < 100; }, kDownloadLimitMs))
      << BarPosition(prompt);
  EXPECT_TRUE(WaitUntil([&] { return !ControlText(prompt, IDC_REMAINING_TIME).empty(); }, kDownloadLimitMs));
  const std::wstring line = ControlText(prompt, IDC_REMAINING_TIME);
  EXPECT_TRUE(IsRemainingTimeLine(line, L"9.6")) << Utf8(line);

  const auto box = WaitForMessageBox(program.Id(), kDownloadLimitMs);
  ASSERT_TRUE(box.has_value());
  EXPECT_EQ(box->caption, L"Parvel");
  EXPECT_EQ(box->text, L"下载成功，是否立即安装！");
  EXPECT_EQ(box->ButtonIds(), (std::vector<int>{IDYES, IDNO}));
  EXPECT_TRUE(box->hasIcon);
  EXPECT_FALSE(IsShown(prompt));
  // By the question the new installer is in place and the temporary file gone.
  EXPECT_EQ(ReadFileBytes(InstallerFile()), Installer());
  EXPECT_EQ(FileNames(directory_), (std::vector<std::wstring>{L"ParvelUpdate.exe", kInstallerName}));
  EXPECT_TRUE(ReadRecords(RecordFile()).empty());

  ASSERT_TRUE(test::Press(*box, IDYES));
  ExpectExitZero(program);
  ExpectInstallerStarted(Installer().size());
  ExpectOneDownloadRequest();
}

TEST_F(UpdaterTest, AnsweringNoLeavesTheInstallerAndStartsNothing) {
  server_.Reply(kInstallerPath, Trickled(10, 3000));
  // The separator is the last character: the size is empty.
  StartedProgram program = Start(Address() + L"~");
  const HWND prompt = FindPrompt(program);
  ASSERT_NE(prompt, nullptr);
  ExpectPromptShown(prompt);
  StartManualDownload(prompt);
  EXPECT_TRUE(WaitUntil([&] { return !ControlText(prompt, IDC_REMAINING_TIME).empty(); }, kDownloadLimitMs));
  EXPECT_TRUE(IsRemainingTimeLine(ControlText(prompt, IDC_REMAINING_TIME), L""))
      << Utf8(ControlText(prompt, IDC_REMAINING_TIME));

  const auto box = WaitForMessageBox(program.Id(), kDownloadLimitMs);
  ASSERT_TRUE(box.has_value());
  EXPECT_EQ(box->text, L"下载成功，是否立即安装！");
  ASSERT_TRUE(test::Press(*box, IDNO));
  ExpectExitZero(program);
  EXPECT_EQ(ReadFileBytes(InstallerFile()), Installer());
  EXPECT_EQ(FileNames(directory_), (std::vector<std::wstring>{L"ParvelUpdate.exe", kInstallerName}));
  ExpectOneDownloadRequest();
}

TEST_F(UpdaterTest, WithoutContentLengthTheBarAndLineStayEmpty) {
  server_.Reply(kInstallerPath, Trickled(20, 5000).NoContentLength());
  StartedProgram program = Start(Address() + L"~9.6");
  const HWND prompt = FindPrompt(program);
  ASSERT_NE(prompt, nullptr);
  ExpectPromptShown(prompt);
  StartManualDownload(prompt);
  ASSERT_EQ(server_.WaitForRequests(1).size(), 1u);
  // Through the transfer, several timer ticks long, nothing can be estimated.
  const bool changed = WaitUntil(
      [&] {
        if (!MessageBoxes(program.Id()).empty()) return false;
        return BarPosition(prompt) != 0 || !ControlText(prompt, IDC_REMAINING_TIME).empty();
      },
      3500, 100);
  EXPECT_FALSE(changed) << BarPosition(prompt) << " " << Utf8(ControlText(prompt, IDC_REMAINING_TIME));

  const auto box = WaitForMessageBox(program.Id(), kDownloadLimitMs);
  ASSERT_TRUE(box.has_value());
  EXPECT_EQ(box->text, L"下载成功，是否立即安装！");
  EXPECT_EQ(ControlText(prompt, IDC_REMAINING_TIME), L"");
  ASSERT_TRUE(test::Press(*box, IDYES));
  ExpectExitZero(program);
  ExpectInstallerStarted(Installer().size());
}

TEST_F(UpdaterTest, AutomaticDownloadRunsOutOfSightAndStartsWithoutAsking) {
  // A "~" before the "#" is part of the address. The download lasts past the
  // prompt timer's ten seconds, which must not bring the window back.
  const std::string path = "/dl~1/Setup_open-V2.0.exe";
  server_.Reply(path, Trickled(30, 14000));
  StartedProgram program = Start(Address(path) + L"#12.5");
  const HWND prompt = FindPrompt(program);
  ASSERT_NE(prompt, nullptr);
  Post(prompt, WM_TRAY_NOTIFY, 1, WM_MOUSEMOVE);
  ExpectPromptShown(prompt);

  ASSERT_TRUE(Click(prompt, IDOK));
  ASSERT_TRUE(WaitUntil([&] { return !IsShown(prompt); }, kStartLimitMs));
  EXPECT_TRUE(SameRect(WindowRect(prompt), 300, 300, 407, 248)) << Describe(WindowRect(prompt));
  EXPECT_EQ(ControlText(prompt, IDC_FILE_NAME), kInstallerName);
  for (int id : {IDOK, IDCANCEL, IDC_PROGRESS, IDC_BANNER, IDC_DOWNLOADING, IDC_FILE_NAME}) {
    EXPECT_FALSE(ControlVisible(prompt, id)) << "control " << id;
  }
  // Nothing shows until the program ends: no window, no question.
  bool shown = false;
  bool asked = false;
  const bool ended = WaitUntil(
      [&] {
        Post(prompt, WM_TRAY_NOTIFY, 1, WM_LBUTTONUP);
        if (IsShown(prompt)) shown = true;
        if (!MessageBoxes(program.Id()).empty()) asked = true;
        return !program.Running();
      },
      kDownloadLimitMs, 200);
  ASSERT_TRUE(ended);
  EXPECT_FALSE(shown);
  EXPECT_FALSE(asked);
  ExpectExitZero(program);
  ExpectInstallerStarted(Installer().size());
  ExpectOneDownloadRequest(path);
}

TEST_F(UpdaterTest, ClosingTheDownloadViewEndsAtOnce) {
  // The server sends a little and then holds the connection.
  server_.Reply(kInstallerPath, Response::Ok(Installer(), "application/octet-stream").CutAfter(2000, true));
  StartedProgram program = Start(Address() + L"~9.6");
  const HWND prompt = FindPrompt(program);
  ASSERT_NE(prompt, nullptr);
  ExpectPromptShown(prompt);
  StartManualDownload(prompt);
  ASSERT_EQ(server_.WaitForRequests(1).size(), 1u);
  Post(prompt, WM_SYSCOMMAND, SC_CLOSE, 0);
  ExpectExitZero(program);
  EXPECT_EQ(::GetFileAttributesW(InstallerFile().c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(ReadRecords(RecordFile()).empty());
  server_.Reset();  // lets the held connection go
}

// ------------------------------------------------------- failed downloads

// Checks the one failure message and presses its button.
void AnswerTheFailure(const StartedProgram& program) {
  const auto box = WaitForMessageBox(program.Id(), kDownloadLimitMs);
  ASSERT_TRUE(box.has_value());
  EXPECT_EQ(box->caption, L"Parvel安装包下载");
  EXPECT_EQ(box->text, L"下载失败，请检查本地网络连接！");
  EXPECT_EQ(box->ButtonIds(), std::vector<int>{IDOK});
  EXPECT_FALSE(box->hasIcon);
  ASSERT_TRUE(test::Press(*box, IDOK));
}

// Waits for the end, failing if another message box comes up meanwhile.
void ExpectNoFurtherMessage(const StartedProgram& program, HWND pressed) {
  bool another = false;
  WaitUntil(
      [&] {
        for (const MessageBoxInfo& box : MessageBoxes(program.Id())) {
          if (box.window != pressed) another = true;
        }
        return !program.Running();
      },
      kExitLimitMs, 50);
  EXPECT_FALSE(another);
}

// A loopback address where nothing listens: a port taken from the system and
// let go again. The download fails as it does when the network is down.
std::wstring UnreachableAddress() {
  WSADATA data;
  ::WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof(address);
  ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  ::closesocket(s);
  return L"http://127.0.0.1:" + std::to_wstring(ntohs(address.sin_port)) + Wide(kInstallerPath);
}

TEST_F(UpdaterTest, FailedManualDownloadShowsOneMessageAndStartsNothing) {
  StartedProgram program = Start(UnreachableAddress() + L"~9.6");
  const HWND prompt = FindPrompt(program);
  ASSERT_NE(prompt, nullptr);
  ExpectPromptShown(prompt);
  ASSERT_TRUE(Click(prompt, IDOK));
  const auto box = WaitForMessageBox(program.Id(), kDownloadLimitMs);
  ASSERT_TRUE(box.has_value());
  AnswerTheFailure(program);
  ExpectNoFurtherMessage(program, box->window);
  ExpectExitZero(program);
  EXPECT_EQ(::GetFileAttributesW(InstallerFile().c_str()), INVALID_FILE_ATTRIBUTES);
  ::Sleep(1000);  // an installer started by mistake would have written by now
  EXPECT_TRUE(ReadRecords(RecordFile()).empty());
}

// In the automatic mode the installer already in the directory is started
// after a failure; with none, nothing is.
class UpdaterAutomaticFailureTest : public UpdaterTest, public testing::WithParamInterface<bool> {};

TEST_P(UpdaterAutomaticFailureTest, StartsWhateverInstallerIsThere) {
  const bool olderThere = GetParam();
  if (olderThere) {
    ASSERT_TRUE(test::WriteBytes(InstallerFile(), OlderInstaller()));
  }
  StartedProgram program = Start(UnreachableAddress() + L"#9.6");
  const HWND prompt = FindPrompt(program);
  ASSERT_NE(prompt, nullptr);
  Post(prompt, WM_TRAY_NOTIFY, 1, NIN_BALLOONUSERCLICK);
  ExpectPromptShown(prompt);
  ASSERT_TRUE(Click(prompt, IDOK));
  const auto box = WaitForMessageBox(program.Id(), kDownloadLimitMs);
  ASSERT_TRUE(box.has_value());
  AnswerTheFailure(program);
  ExpectNoFurtherMessage(program, box->window);
  ExpectExitZero(program);
  if (olderThere) {
    ExpectInstallerStarted(OlderInstaller().size());
  } else {
    ::Sleep(1000);
    EXPECT_TRUE(ReadRecords(RecordFile()).empty());
    EXPECT_EQ(::GetFileAttributesW(InstallerFile().c_str()), INVALID_FILE_ATTRIBUTES);
  }
}

INSTANTIATE_TEST_SUITE_P(Older, UpdaterAutomaticFailureTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "OlderInstallerThere" : "NoInstallerThere");
                         });

}  // namespace
}  // namespace parvel
