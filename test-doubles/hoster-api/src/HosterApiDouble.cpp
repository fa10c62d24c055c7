// Substitute of the product's host API library kv_hoster_api_64.dll. It answers what
// the configuration key says and appends one line per call to the configured call log.
// Built in variants: KV_DOUBLE_NO_INITIALIZE drops KvHosterApi_Initialize and the
// dependency hook, KV_DOUBLE_NO_STOP drops KvHosterApi_StopPlugin.
#include <windows.h>

#include <cstdint>
#include <string>

#include "test-doubles/HosterApiDouble.h"

namespace {

HMODULE self = nullptr;

struct Dependencies {
    std::uint32_t size;
    std::uint32_t flags;
    const wchar_t* namespaceName;
    const wchar_t* directory;
};

HKEY openConfig() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kv::doubles::HosterApiDouble::configKey, 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

DWORD configuredDword(const wchar_t* name, DWORD fallback) {
    HKEY key = openConfig();
    if (key == nullptr) {
        return fallback;
    }
    DWORD value = 0;
    DWORD type = 0;
    DWORD size = sizeof(value);
    const bool found = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
                           ERROR_SUCCESS &&
                       type == REG_DWORD;
    RegCloseKey(key);
    return found ? value : fallback;
}

std::wstring configuredString(const wchar_t* name) {
    HKEY key = openConfig();
    if (key == nullptr) {
        return {};
    }
    wchar_t buffer[1024] = {};
    DWORD type = 0;
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    const bool found = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) ==
                           ERROR_SUCCESS &&
                       type == REG_SZ;
    RegCloseKey(key);
    return found ? std::wstring(buffer) : std::wstring();
}

// Appends one UTF-8 line in a single write, so that lines of concurrent callers never mix.
void record(const std::wstring& line) {
    const std::wstring path = configuredString(kv::doubles::HosterApiDouble::callLogValue);
    if (path.empty()) {
        return;
    }
    const std::wstring text = line + L"\r\n";
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                        nullptr);
    // Several callers may open the file at once: retry briefly on a sharing conflict.
    for (int attempt = 0; attempt < 200; ++attempt) {
        HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
            CloseHandle(file);
            return;
        }
        Sleep(5);
    }
}

std::wstring text(const wchar_t* value) {
    return value == nullptr ? std::wstring(L"(null)") : std::wstring(value);
}

int pluginCall(const wchar_t* function, const wchar_t* namespaceName, int zero, const wchar_t* name, int flag,
               DWORD result) noexcept {
    try {
        record(std::wstring(function) + L"|" + text(namespaceName) + L"|" + std::to_wstring(zero) + L"|" +
               text(name) + L"|" + std::to_wstring(flag));
    } catch (...) {
    }
    return static_cast<int>(result);
}

} // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        self = instance;
    }
    return TRUE;
}

#ifndef KV_DOUBLE_NO_INITIALIZE
__declspec(dllexport) int KvHosterApi_Initialize() noexcept {
    try {
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(self, path, MAX_PATH);
        record(std::wstring(L"Initialize|") + path);
        if (const DWORD delay = configuredDword(kv::doubles::HosterApiDouble::initializeDelayValue, 0)) {
            Sleep(delay);
        }
    } catch (...) {
    }
    return static_cast<int>(configuredDword(L"Initialize", 0));
}

__declspec(dllexport) int ZarnDelayLoadDependencies(const Dependencies* descriptor) noexcept {
    try {
        if (descriptor == nullptr) {
            record(L"ZarnDelayLoadDependencies|(no descriptor)");
            return 0;
        }
        // Only fields within the size the caller declares are read.
        std::wstring line = L"ZarnDelayLoadDependencies|" + std::to_wstring(descriptor->size);
        if (descriptor->size >= sizeof(Dependencies)) {
            line += L"|" + std::to_wstring(descriptor->flags) + L"|" + text(descriptor->namespaceName) +
                    L"|" + text(descriptor->directory);
        }
        record(line);
    } catch (...) {
    }
    return 0;
}
#endif

__declspec(dllexport) int KvHosterApi_IsHosterRunning(const wchar_t* namespaceName, int zero,
                                                      unsigned int hosterId) noexcept {
    try {
        record(L"IsHosterRunning|" + text(namespaceName) + L"|" + std::to_wstring(zero) + L"|" +
               std::to_wstring(hosterId));
    } catch (...) {
    }
    return static_cast<int>(configuredDword(L"IsHosterRunning", 0));
}

#ifndef KV_DOUBLE_NO_STOP
__declspec(dllexport) int KvHosterApi_StopPlugin(const wchar_t* namespaceName, int zero, const wchar_t* name,
                                                 int flag) noexcept {
    return pluginCall(L"StopPlugin", namespaceName, zero, name, flag, configuredDword(L"StopPlugin", 0));
}
#endif

__declspec(dllexport) int KvHosterApi_StartPlugin(const wchar_t* namespaceName, int zero, const wchar_t* name,
                                                  int flag) noexcept {
    const DWORD general = configuredDword(L"StartPlugin", 0);
    const DWORD result = configuredDword(flag == 0 ? L"StartPlugin.Flag0" : L"StartPlugin.Flag1", general);
    return pluginCall(L"StartPlugin", namespaceName, zero, name, flag, result);
}

} // extern "C"
