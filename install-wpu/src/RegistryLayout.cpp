#include <windows.h>

#include "install-wpu/RegistryLayout.h"

#include "kvtl/Handle.h"
#include "logging/Log.h"
#include "winenv/ProductNamespace.h"

namespace wp {

std::wstring GetRegistryPath(RegistryKey kind, const std::wstring& name) {
    std::wstring path = productRoot(productNamespaceName());
    switch (kind) {
        case RegistryKey::Root:
            break;
        case RegistryKey::Settings:
            path += productpath::SettingsSuffix;
            break;
        case RegistryKey::Statistics:
            path += productpath::StatisticsSuffix;
            break;
        case RegistryKey::Updates:
            path += productpath::UpdatesSuffix;
            break;
        case RegistryKey::Modules:
            path += productpath::ModulesSuffix;
            break;
        case RegistryKey::PlugIns:
            path += productpath::PlugInsSuffix;
            break;
        case RegistryKey::RebootRequested:
            path += productpath::RebootRequestedSuffix;
            break;
        default:
            KvZarnLogging::log(KvZarnLogging::Error, "wp::GetRegistryPath", L"Invalid RegistryKey: %d",
                               static_cast<int>(kind));
            return std::wstring();
    }
    if (!name.empty()) {
        path += productpath::Separator + name;
    }
    return path;
}

} // namespace wp

void flushRegistryKeyByName(const std::wstring& keyName, std::uint32_t viewFlag) {
    const char* const function = "flushRegistryKeyByName";
    kv::UniqueHkey key;
    const LSTATUS opened =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, viewFlag | KEY_QUERY_VALUE, key.put());
    if (opened != ERROR_SUCCESS) {
        KvZarnLogging::log(KvZarnLogging::Warning, function, L"Cannot open %ls (%u): error=%u",
                           keyName.c_str(), static_cast<unsigned>(viewFlag), static_cast<unsigned>(opened));
        return;
    }
    const LSTATUS flushed = RegFlushKey(key.get());
    if (flushed != ERROR_SUCCESS) {
        KvZarnLogging::log(KvZarnLogging::Warning, function, L"Cannot flush %ls (%u): error=%u",
                           keyName.c_str(), static_cast<unsigned>(viewFlag), static_cast<unsigned>(flushed));
        return;
    }
    KvZarnLogging::log(KvZarnLogging::Info, function, L"Registry %ls (%u) is flushed successfully",
                       keyName.c_str(), static_cast<unsigned>(viewFlag));
}

void flushRegistryHives() {
    flushRegistryKeyByName(L"SOFTWARE", KEY_WOW64_64KEY);
    flushRegistryKeyByName(L"SYSTEM", KEY_WOW64_64KEY);
    flushRegistryKeyByName(L"SOFTWARE", KEY_WOW64_32KEY);
}
