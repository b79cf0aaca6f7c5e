#include "SimSettings.h"

#include <cwchar>

namespace sim {
namespace {

std::wstring env(const wchar_t* name) {
    wchar_t buffer[2048];
    const DWORD n = GetEnvironmentVariableW(name, buffer, 2048);
    return n > 0 && n < 2048 ? std::wstring(buffer, n) : std::wstring();
}

long long number(const wchar_t* name, long long fallback) {
    const std::wstring text = env(name);
    if (text.empty()) {
        return fallback;
    }
    if (text == L"never") {
        return -1;
    }
    return std::wcstoll(text.c_str(), nullptr, 0);
}

// "name:N"
FileFault fault(const wchar_t* name) {
    const std::wstring text = env(name);
    const size_t colon = text.rfind(L':');
    if (text.empty() || colon == std::wstring::npos) {
        return {};
    }
    return {text.substr(0, colon),
            static_cast<unsigned>(std::wcstoul(&text[colon + 1], nullptr, 10))};
}

std::vector<std::wstring> list(const wchar_t* name) {
    std::vector<std::wstring> items;
    std::wstring text = env(name);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L';', start);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        if (end > start) {
            items.push_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return items;
}

} // namespace

Settings ReadSettings() {
    Settings s;
    s.folder = env(L"VK7SIM_DIR");
    while (!s.folder.empty() && (s.folder.back() == L'\\' || s.folder.back() == L'/')) {
        s.folder.pop_back();
    }
    s.osMajor = static_cast<unsigned>(number(L"VK7SIM_OS_MAJOR", 6));
    s.screenMm = static_cast<int>(number(L"VK7SIM_SCREEN_MM", 60));
    s.screenPx = static_cast<int>(number(L"VK7SIM_SCREEN_PX", 480));
    s.screenWidthPx = static_cast<int>(number(L"VK7SIM_SCREEN_WIDTH_PX", 800));
    s.first.delayMs = static_cast<long>(number(L"VK7SIM_CONNECT_DELAY_MS", 0));
    s.first.result = static_cast<HRESULT>(number(L"VK7SIM_INIT_RESULT", 0));
    s.later.delayMs = static_cast<long>(number(L"VK7SIM_LATER_CONNECT_DELAY_MS", s.first.delayMs));
    s.later.result = static_cast<HRESULT>(number(L"VK7SIM_LATER_INIT_RESULT", s.first.result));
    s.refuseReinit = number(L"VK7SIM_REFUSE_REINIT", 0) != 0;
    s.writeFault = fault(L"VK7SIM_WRITE_FAULT");
    s.shortWrite = fault(L"VK7SIM_SHORT_WRITE");
    s.unplugAfterBytes = number(L"VK7SIM_UNPLUG_AFTER_BYTES", -1);
    s.failWriteAt = static_cast<unsigned>(number(L"VK7SIM_FAIL_WRITE_N", 0));
    s.shortWriteAt = static_cast<unsigned>(number(L"VK7SIM_SHORT_WRITE_N", 0));
    s.unplugAtWrite = static_cast<unsigned>(number(L"VK7SIM_UNPLUG_AT_WRITE_N", 0));
    s.failCreateAt = static_cast<unsigned>(number(L"VK7SIM_FAIL_CREATE_N", 0));
    s.failCallAt = static_cast<unsigned>(number(L"VK7SIM_FAIL_CALL_N", 0));
    s.unplugAtCall = static_cast<unsigned>(number(L"VK7SIM_UNPLUG_AT_CALL_N", 0));
    s.closeFault = env(L"VK7SIM_CLOSE_FAULT");
    s.closeUnplug = env(L"VK7SIM_CLOSE_UNPLUG");
    s.staleErrorAfterUnplug = number(L"VK7SIM_STALE_ERROR", 0) != 0;
    s.rapiErrorAfterUnplug = static_cast<long>(number(L"VK7SIM_RAPI_ERROR", E_FAIL));
    s.busyFiles = list(L"VK7SIM_BUSY");
    s.capacity = static_cast<unsigned long long>(number(L"VK7SIM_CAPACITY", 0));
    s.freeSpaceFails = number(L"VK7SIM_FREE_SPACE_FAILS", 0) != 0;
    s.callDelayMs = static_cast<unsigned>(number(L"VK7SIM_CALL_DELAY_MS", 0));
    s.linkBytesPerSecond = static_cast<unsigned long long>(number(L"VK7SIM_LINK_BPS", 0));
    s.logPath = env(L"VK7SIM_LOG");
    s.sourceProbe = env(L"VK7SIM_SOURCE_PROBE");
    return s;
}

} // namespace sim
