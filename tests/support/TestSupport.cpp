#include "support/TestSupport.h"

#include "win/SystemDirectory.h"

#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

namespace testing_support {

namespace {

std::string GetEnv(const std::string& name, bool& found) {
    char buffer[32768];
    const DWORD n = GetEnvironmentVariableA(name.c_str(), buffer, sizeof buffer);
    found = n > 0 && n < sizeof buffer;
    return found ? std::string(buffer, n) : std::string();
}

// The simulated device's controls, taken from its library by path: once a
// test has loaded the partial library, which has the same name and exports,
// a lookup by name alone may answer either one, and a reset or a handle
// count would then reach the wrong device.
template <typename F> F SimExport(const char* name) {
    const std::wstring path = SimLibraryPath();
    HMODULE sim = GetModuleHandleW(path.c_str());
    if (sim == nullptr) {
        sim = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    return sim ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(sim, name))) : nullptr;
}

std::vector<Box>& CapturedBoxes() {
    thread_local std::vector<Box> boxes;
    return boxes;
}

thread_local BoxCatcher* g_catcher = nullptr;

std::string IconOf(HWND box) {
    // The icon's control is 20 on Windows and 1088 (stc1) under Wine.
    HICON icon = nullptr;
    for (int id : {0x14, 0x440}) {
        if (HWND control = GetDlgItem(box, id)) {
            icon = reinterpret_cast<HICON>(SendMessageA(control, STM_GETICON, 0, 0));
        }
        if (icon != nullptr) {
            break;
        }
    }
    if (icon == nullptr) {
        return "none";
    }
    const struct {
        LPCSTR id;
        const char* name;
    } known[] = {{IDI_ASTERISK, "information"},
                 {IDI_HAND, "stop"},
                 {IDI_EXCLAMATION, "warning"},
                 {IDI_QUESTION, "question"}};
    for (const auto& k : known) {
        if (LoadIconA(nullptr, k.id) == icon) {
            return k.name;
        }
    }
    return "other";
}

LRESULT CALLBACK CbtHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE) {
        const auto window = reinterpret_cast<HWND>(wParam);
        char cls[32] = {};
        GetClassNameA(window, cls, sizeof cls);
        if (std::string(cls) == "#32770") {
            char caption[512] = {}, text[2048] = {};
            GetWindowTextA(window, caption, sizeof caption);
            GetDlgItemTextA(window, 0xFFFF, text, sizeof text);
            Box box{text, caption, IconOf(window), GetWindow(window, GW_OWNER)};
            CapturedBoxes().push_back(box);
            if (g_catcher != nullptr && g_catcher->onBox) {
                g_catcher->onBox(box);
            }
            PostMessageA(window, WM_COMMAND, IDOK, 0);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

} // namespace

ScratchDir::ScratchDir(const std::string& tag) {
    static unsigned counter = 0;
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    path_ = fs::path(temp) / ("vk7-" + tag + "-" + std::to_string(GetCurrentProcessId()) + "-" +
                              std::to_string(++counter));
    fs::remove_all(path_);
    fs::create_directories(path_);
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    // A read-only file cannot be deleted; tests make device files so.
    for (auto it = fs::recursive_directory_iterator(path_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        SetFileAttributesW(it->path().wstring().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    fs::remove_all(path_, ignored);
}

std::map<std::string, std::string> Snapshot(const fs::path& folder) {
    std::map<std::string, std::string> entries;
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(folder, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        const DWORD attributes = GetFileAttributesW(it->path().wstring().c_str());
        const bool readOnly =
            attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
        entries[fs::relative(it->path(), folder).string()] =
            (readOnly ? "<read-only>" : "") +
            (it->is_directory() ? "<folder>" : ReadFileBytes(it->path()));
    }
    return entries;
}

ScopedEnv::ScopedEnv(const std::string& name, const std::string& value) : name_(name) {
    old_ = GetEnv(name, had_);
    SetEnvironmentVariableA(name.c_str(), value.c_str());
}

ScopedEnv::~ScopedEnv() {
    SetEnvironmentVariableA(name_.c_str(), had_ ? old_.c_str() : nullptr);
}

void WriteFileBytes(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Pattern(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    unsigned x = seed;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<char>(x >> 16);
    }
    return bytes;
}

std::vector<LogEntry> ReadCallLog(const fs::path& log) {
    std::vector<LogEntry> entries;
    std::istringstream in(ReadFileBytes(log));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::istringstream fields(line);
        LogEntry e{};
        std::string bytes, result;
        std::getline(fields, e.function, '\t');
        std::getline(fields, e.subject, '\t');
        std::getline(fields, bytes, '\t');
        std::getline(fields, result, '\t');
        std::getline(fields, e.detail, '\t');
        e.bytes = std::stoll(bytes);
        e.result = std::stoll(result);
        entries.push_back(e);
    }
    return entries;
}

std::vector<LogEntry> Calls(const std::vector<LogEntry>& log, const std::string& function) {
    std::vector<LogEntry> out;
    for (const auto& e : log) {
        if (e.function == function) {
            out.push_back(e);
        }
    }
    return out;
}

int SimOpenHandles() {
    const auto count = SimExport<int(WINAPI*)()>("SimOpenHandleCount");
    return count ? count() : -1;
}

bool SimSessionOpen() {
    const auto open = SimExport<BOOL(WINAPI*)()>("SimSessionOpen");
    return open != nullptr && open() != FALSE;
}

void SimSetLastError(DWORD error) {
    if (const auto set = SimExport<void(WINAPI*)(DWORD)>("SimSetLastError")) {
        set(error);
    }
}

void SimReset() {
    if (const auto reset = SimExport<void(WINAPI*)()>("SimReset")) {
        reset();
    }
}

SimDevice::SimDevice() : dir_("dev") {
    fs::create_directories(root());
    set("VK7SIM_DIR", root().string());
    set("VK7SIM_LOG", logPath().string());
    SimReset();
}

void SimDevice::installApplication(const std::string& bytes) const {
    WriteFileBytes(appFolder() / "KestrovaCE.exe", bytes);
}

void SimDevice::set(const std::string& name, const std::string& value) {
    // Undone last-set first (the vector's elements go first to last): a
    // setting made twice comes back to what it was before the first.
    env_.insert(env_.begin(), std::make_unique<ScopedEnv>(name, value));
}

// Catchers nest: an inner one takes over the capture, and the thread's one
// hook stays with the outermost.
BoxCatcher::BoxCatcher() : previous_(g_catcher) {
    CapturedBoxes().clear();
    g_catcher = this;
    hook_ = previous_ != nullptr
                ? nullptr
                : SetWindowsHookExA(WH_CBT, CbtHook, nullptr, GetCurrentThreadId());
}

BoxCatcher::~BoxCatcher() {
    if (hook_ != nullptr) {
        UnhookWindowsHookEx(hook_);
    }
    g_catcher = previous_;
}

const std::vector<Box>& BoxCatcher::boxes() const {
    return CapturedBoxes();
}

std::vector<std::string> BoxCatcher::texts() const {
    std::vector<std::string> texts;
    for (const auto& b : boxes()) {
        texts.push_back(b.text);
    }
    return texts;
}

const char* const kDeviceNames[9] = {
    "KestrovaCE.exe",
    "Vesko-Plinto-4.par1",
    "Vesko-Plinto-4-UTM.par1",
    "Vesko-Plinto-4-HighContrast.par1",
    "Vesko-Plinto-4-UTM-HighContrast.par1",
    "VeskoPointer.mmp",
    "Kestrova1.def",
    "Kestrova2.def",
    "FontSizes2.def",
};

// Test programs live in build/x64/tests.
std::string ProductExe() {
    bool set = false;
    const std::string chosen = GetEnv("VESKO_E2E_EXE", set);
    return set && !chosen.empty() ? chosen
                                  : (ProgramFolder().parent_path() / "VeskoUpgrade.exe").string();
}

fs::path SourceRoot() {
    return ProgramFolder().parent_path().parent_path().parent_path();
}

fs::path PayloadFile(const std::string& deviceName) {
    bool set = false;
    const std::string folder = GetEnv("VESKO_E2E_PAYLOAD", set);
    return (set && !folder.empty() ? fs::path(folder) : SourceRoot() / "payload" / "Files") /
           deviceName;
}

std::wstring SimLibraryPath() {
    return win::SystemDirectory() + L"\\RAPI.DLL";
}

HMODULE NoLibrary(const char*) {
    return nullptr;
}

HMODULE PartialLibrary(const char*) {
    const auto path = ProgramFolder().parent_path() / "devicesim" / "partial" / "RAPI.DLL";
    return LoadLibraryExA(path.string().c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

FARPROC LookUp(HMODULE module, const char* name) {
    return GetProcAddress(module, name);
}

namespace {
fs::path ProgramPath() {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return fs::path(path);
}
} // namespace

fs::path ProgramFolder() {
    return ProgramPath().parent_path();
}

std::string ProgramName() {
    return ProgramPath().stem().string();
}

std::string LastRunIn(const fs::path& log) {
    static const std::regex runStart(R"((^|\r\n)(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d))");
    std::string text = ReadFileBytes(log);
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.erase(0, 3); // the byte-order mark
    }
    std::size_t last = std::string::npos;
    for (std::sregex_iterator m(text.begin(), text.end(), runStart), end; m != end; ++m) {
        last = static_cast<std::size_t>(m->position(2));
    }
    return last == std::string::npos ? std::string() : text.substr(last);
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!done()) {
        if (GetTickCount64() > end) {
            return false;
        }
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
}

bool EmulatedI686() {
    bool set = false;
    return sizeof(void*) == 4 && GetEnv("VESKO_I686_MODE", set) == "emulated";
}

} // namespace testing_support
