#include <windows.h>

#include "hoster-api/HosterApi.h"

#include "winenv/ProductNamespace.h"

#include "logging/Log.h"
#include "winenv/Registry.h"

#include <atomic>
#include <cstdlib>

namespace {

using IsHosterRunningFn = int (*)(const wchar_t* namespaceName, int zero, unsigned int hosterId);
using PluginFn = int (*)(const wchar_t* namespaceName, int zero, const wchar_t* name, int flag);

constexpr wchar_t kLegacyPluginsKey[] = L"SOFTWARE\\Korvane\\Zarn\\DLLHoster\\1400\\Plugins";

std::wstring namespacedPluginsKey() {
    return L"SOFTWARE\\Korvane\\NS\\" + productNamespaceName() + L"\\Zarn\\Hoster\\Plugins";
}

bool subKeyExists(const std::wstring& parent, const std::wstring& name) {
    LightWin32Registry registry;
    registry.setSamFlags(KEY_WOW64_64KEY);
    return registry.subKeyExists(parent, name);
}

// The exports are bound by init() before the API reports itself available, so a null
// here means the API is used outside that guarantee: report it as unavailable.
template <class Fn>
Fn boundExport(DelayImportProc& proc, const char* function) {
    DelayLoadFault fault;
    Fn address = proc.bindAs<Fn>(fault);
    if (address == nullptr) {
        KvZarnLogging::log(KvZarnLogging::Error, function, L"Procedure %hs not found in %hs. err=%u",
                           proc.name(), proc.module().dllName(), GetLastError());
    }
    return address;
}

std::atomic<int> creationState{0}; // 0 not started, 1 being created, 2 created
std::atomic<GenericApi<HosterApi>*> instance{nullptr};

void deleteHosterApi() {
    delete instance.exchange(nullptr);
}

} // namespace

HosterApiImports::HosterApiImports(const char* dllName) noexcept
    : library(dllName), initialize(library, "KvHosterApi_Initialize"),
      isHosterRunning(library, "KvHosterApi_IsHosterRunning"), stopPlugin(library, "KvHosterApi_StopPlugin"),
      startPlugin(library, "KvHosterApi_StartPlugin") {}

HosterApiImports& HosterApiImports::program() {
    static HosterApiImports imports;
    return imports;
}

HosterApi::HosterApi() : HosterApi(HosterApiImports::program()) {}

HosterApi::HosterApi(HosterApiImports& imports) : GenericApiBase(&imports.initialize), imports_(&imports) {}

bool HosterApi::init() {
    KvZarnLogging::log(KvZarnLogging::Debug, "HosterApi::init", L"Init hoster API v.2.0");
    // A library that has the initialisation export but lacks another one must not fail
    // at a later call, possibly between the stop and the start of a plug-in: every export
    // is bound now, and a missing one makes the whole API unavailable.
    for (DelayImportProc* proc :
         {&imports_->isHosterRunning, &imports_->stopPlugin, &imports_->startPlugin}) {
        if (boundExport<FARPROC>(*proc, "HosterApi::init") == nullptr) {
            return false;
        }
    }
    return true;
}

bool HosterApi::isHosterRunning(std::uint32_t hosterId, std::int32_t& status) {
    constexpr char function[] = "HosterApi::isHosterRunning";
    const auto call =
        isAvailable() ? boundExport<IsHosterRunningFn>(imports_->isHosterRunning, function) : nullptr;
    if (call == nullptr) {
        KvZarnLogging::log(KvZarnLogging::Info, function, L"Hoster API is not available.");
        status = NotAvailable;
        return false;
    }
    const std::wstring namespaceName = productNamespaceName();
    if (call(namespaceName.c_str(), 0, hosterId) != 0) {
        KvZarnLogging::log(KvZarnLogging::Info, function, L"Hoster is not running.");
        status = HosterNotRunning;
        return false;
    }
    status = Success;
    return true;
}

bool HosterApi::startPlugin(std::uint32_t hosterId, const std::wstring& name, std::int32_t& status) {
    constexpr char function[] = "HosterApi::startPlugin";
    if (!isHosterRunning(hosterId, status)) {
        return false;
    }
    const auto start = boundExport<PluginFn>(imports_->startPlugin, function);
    if (start == nullptr) {
        status = NotAvailable;
        return false;
    }
    KvZarnLogging::log(KvZarnLogging::Info, function, L"Starting hoster plugin \"%ls\"...", name.c_str());
    const std::wstring namespaceName = productNamespaceName();
    switch (start(namespaceName.c_str(), 0, name.c_str(), 1)) {
        case 0:
            KvZarnLogging::log(KvZarnLogging::Info, function,
                               L"Hoster plugin was started successfully or was already running.");
            status = Success;
            return true;
        case 1:
            KvZarnLogging::log(KvZarnLogging::Error, function, L"Unable to start hoster plugin.");
            status = UnableToStartOrStop;
            return false;
        default:
            KvZarnLogging::log(KvZarnLogging::Error, function,
                               L"Attempt to start hoster plugin resulted in an unknown error.");
            status = UnexpectedResult;
            return false;
    }
}

bool HosterApi::restartPlugin(std::uint32_t hosterId, const std::wstring& name, std::int32_t& status) {
    constexpr char function[] = "HosterApi::restartPlugin";
    if (!isHosterRunning(hosterId, status)) {
        return false;
    }
    const auto stop = boundExport<PluginFn>(imports_->stopPlugin, function);
    const auto start = boundExport<PluginFn>(imports_->startPlugin, function);
    if (stop == nullptr || start == nullptr) {
        status = NotAvailable;
        return false;
    }
    const auto statusOf = [](int result) {
        switch (result) {
            case 0:
                return Success;
            case 1:
                return UnableToStartOrStop;
            case 3:
                return PluginNotStarted;
            default:
                return UnexpectedResult;
        }
    };
    const int stopped = stop(productNamespaceName().c_str(), 0, name.c_str(), 0);
    KvZarnLogging::log(KvZarnLogging::Debug, function, L"Stop plugin returned: %d", stopped);
    status = statusOf(stopped);
    if (status != Success) {
        return false;
    }
    const int started = start(productNamespaceName().c_str(), 0, name.c_str(), 0);
    KvZarnLogging::log(KvZarnLogging::Debug, function, L"Start plugin returned: %d", started);
    status = statusOf(started);
    return status == Success;
}

bool HosterApi::isPluginRegisteredLegacy(const std::wstring& name) {
    const bool exists = subKeyExists(kLegacyPluginsKey, name);
    KvZarnLogging::log(KvZarnLogging::Debug, "HosterApi::isPluginRegisteredLegacy", L"%ls %ls %d",
                       kLegacyPluginsKey, name.c_str(), exists ? 1 : 0);
    return exists || isPluginRegisteredNamespaced(name);
}

bool HosterApi::isPluginRegisteredNamespaced(const std::wstring& name) {
    const std::wstring key = namespacedPluginsKey();
    const bool exists = subKeyExists(key, name);
    KvZarnLogging::log(KvZarnLogging::Debug, "HosterApi::isPluginRegisteredNamespaced", L"%ls %ls %d",
                       key.c_str(), name.c_str(), exists ? 1 : 0);
    return exists;
}

GenericApi<HosterApi>* hosterApi() {
    for (;;) {
        int state = 0;
        if (creationState.compare_exchange_strong(state, 1)) {
            try {
                instance.store(new GenericApi<HosterApi>());
            } catch (...) {
                // Let a later caller try again instead of leaving the others waiting forever.
                creationState.store(0);
                throw;
            }
            // When it cannot be registered only the release at exit is lost: the end of
            // the process closes what the API holds.
            (void)std::atexit(deleteHosterApi);
            creationState.store(2);
            return instance.load();
        }
        if (state == 2) {
            return instance.load();
        }
        SwitchToThread();
    }
}
