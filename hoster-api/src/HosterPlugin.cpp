#include <windows.h>

#include "hoster-api/HosterPlugin.h"

#include "hoster-api/HosterApi.h"
#include "winenv/ProductNamespace.h"

#include "logging/Log.h"
#include "winenv/Registry.h"

HosterPlugin::HosterPlugin(std::uint32_t hosterId, std::wstring name)
    : name_(std::move(name)), hosterId_(hosterId) {}

void HosterPlugin::restart() {
    constexpr char function[] = "HosterPlugin::restart";
    GenericApi<HosterApi>* api = hosterApi();
    std::int32_t status = HosterApi::PluginNotStarted;
    if (api == nullptr) {
        // Only after the exit-time deletion of the API object.
        status = HosterApi::NotAvailable;
    } else if (!api->isPluginRegisteredLegacy(name_)) {
        KvZarnLogging::log(KvZarnLogging::Info, function, L"Plugin not found, won't be restarted");
        status = HosterApi::PluginNotStarted;
    } else {
        KvZarnLogging::log(KvZarnLogging::Info, function, L"Restarting plugin");
        api->restartPlugin(hosterId_, name_, status);
        if (status == HosterApi::PluginNotStarted) {
            KvZarnLogging::log(KvZarnLogging::Info, function, L"Plugin not started, trying to start it");
            api->startPlugin(hosterId_, name_, status);
        }
    }
    switch (status) {
        case HosterApi::Success:
            KvZarnLogging::log(KvZarnLogging::Info, function, L"Plugin started");
            rebootRequested_ = false;
            break;
        case HosterApi::NotAvailable:
            KvZarnLogging::log(KvZarnLogging::Info, function,
                               L"API is not available. Assuming first-time installation.");
            break;
        case HosterApi::HosterNotRunning:
            KvZarnLogging::log(KvZarnLogging::Info, function,
                               L"Hoster is not started, reboot won't be requested");
            rebootRequested_ = false;
            break;
        case HosterApi::PluginNotStarted:
            KvZarnLogging::log(KvZarnLogging::Info, function,
                               L"Plugin is not registered, reboot won't be requested");
            rebootRequested_ = false;
            break;
        default:
            KvZarnLogging::log(KvZarnLogging::Error, function, L"Will reboot: %d", status);
            rebootRequested_ = true;
            break;
    }
}

void registerHosterPlugin(const std::wstring& name, const std::wstring& dllPath, std::uint32_t hosterId,
                          const std::map<std::wstring, std::uint32_t>& extraValues,
                          std::vector<std::wstring>&& dependOnModules) {
    const std::wstring key =
        L"SOFTWARE\\Korvane\\NS\\" + productNamespaceName() + L"\\Zarn\\Hoster\\Plugins\\" + name;
    LightWin32Registry registry;
    registry.setSamFlags(KEY_WOW64_64KEY);
    // Each write is attempted even when an earlier one failed; none is reported.
    registry.createKeyPath(key);
    registry.setString(key, L"DllName", dllPath);
    registry.setString(key, L"Name", name);
    registry.setDword(key, L"HosterId", hosterId);
    for (const auto& [valueName, value] : extraValues) {
        registry.setDword(key, valueName, value);
    }
    if (!dependOnModules.empty()) {
        registry.setMultiString(key, L"DependOnModules", dependOnModules);
    }
    std::vector<std::wstring>().swap(dependOnModules);
}

std::wstring hosterPluginLibraryPath(const std::wstring& directory) {
    std::wstring path = directory;
    if (path.empty() || path.back() != L'\\') {
        path += L'\\';
    }
    return path + L"kv_wpu_hoster_plugin64.dll";
}
