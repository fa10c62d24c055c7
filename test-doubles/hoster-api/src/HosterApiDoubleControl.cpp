#include <windows.h>

#include "test-doubles/HosterApiDouble.h"

#include "test-support/TestSupport.h"

namespace kv::doubles {

namespace {

void deleteConfig() {
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, HosterApiDouble::configKey, KEY_WOW64_64KEY, 0);
}

HKEY createConfig() {
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, HosterApiDouble::configKey, 0, nullptr, 0,
                    KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    return key;
}

} // namespace

HosterApiDouble::HosterApiDouble(std::wstring callLogPath) : callLogPath_(std::move(callLogPath)) {
    deleteConfig();
    clearCalls();
    HKEY key = createConfig();
    RegSetValueExW(key, callLogValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(callLogPath_.c_str()),
                   static_cast<DWORD>((callLogPath_.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

HosterApiDouble::~HosterApiDouble() {
    deleteConfig();
}

void HosterApiDouble::set(const wchar_t* name, DWORD value) const {
    HKEY key = createConfig();
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    RegCloseKey(key);
}

std::vector<std::string> HosterApiDouble::calls() const {
    std::string content;
    HANDLE file = CreateFileW(callLogPath_.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        char buffer[4096];
        DWORD read = 0;
        while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
            content.append(buffer, read);
        }
        CloseHandle(file);
    }
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find("\r\n", start);
        if (end == std::string::npos) {
            end = content.size();
        }
        lines.push_back(content.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

void HosterApiDouble::clearCalls() const {
    DeleteFileW(callLogPath_.c_str());
}

std::wstring HosterApiDouble::libraryPath() {
    return kv::test::besideTestExecutable(L"kv_hoster_api_64.dll");
}

std::wstring HosterApiDouble::libraryWithoutInitializePath() {
    return kv::test::besideTestExecutable(L"kv_hoster_api_64_noinit.dll");
}

std::wstring HosterApiDouble::libraryWithoutStopPath() {
    return kv::test::besideTestExecutable(L"kv_hoster_api_64_nostop.dll");
}

} // namespace kv::doubles
