#pragma once

#include "hoster-api/GenericApi.h"

#include <cstdint>
#include <string>

// The lazily bound exports of the host API library.
struct HosterApiImports {
    explicit HosterApiImports(const char* dllName = "kv_hoster_api_64.dll") noexcept;
    HosterApiImports(const HosterApiImports&) = delete;
    HosterApiImports& operator=(const HosterApiImports&) = delete;

    // The program's one import record of kv_hoster_api_64.dll.
    static HosterApiImports& program();

    DelayImportModule library;
    DelayImportProc initialize;
    DelayImportProc isHosterRunning;
    DelayImportProc stopPlugin;
    DelayImportProc startPlugin;
};

// Client of the product's plug-in host. The host operations answer a bool and a status
// code; a missing or broken host API library gives status NotAvailable and makes no host
// call. Every host call passes the product namespace name, computed afresh.
class HosterApi : public GenericApiBase {
public:
    // Status codes written by the host operations.
    enum Status : std::int32_t {
        Success = 0,             // host running; plug-in started or restarted
        UnexpectedResult = 1,    // the host answered something unexpected
        NotAvailable = 2,        // library not loaded or API not initialised
        HosterNotRunning = 3,    // the host is not running
        UnableToStartOrStop = 4, // the host answered 1 to a stop or start
        PluginNotStarted = 5,    // the host answered 3 to a stop or a start inside a restart
    };

    // Probes the program's import of KvHosterApi_Initialize.
    HosterApi();
    // Probes the initialisation export of `imports`, which must outlive the object.
    explicit HosterApi(HosterApiImports& imports);

    // Binds the host operations' exports; false, with an Error line naming the missing
    // export, when the library lacks one, so that the API is reported unavailable.
    bool init();
    void uninit() {}

    // True when the host is running; status Success, NotAvailable or HosterNotRunning.
    bool isHosterRunning(std::uint32_t hosterId, std::int32_t& status);
    // Starts a plug-in (start flag 1); status Success to UnableToStartOrStop.
    bool startPlugin(std::uint32_t hosterId, const std::wstring& name, std::int32_t& status);
    // Stops then starts a plug-in (stop 0, start flag 0); status Success to PluginNotStarted.
    bool restartPlugin(std::uint32_t hosterId, const std::wstring& name, std::int32_t& status);
    // True when the plug-in's legacy key or, failing that, its namespaced key exists.
    bool isPluginRegisteredLegacy(const std::wstring& name);
    // True when the plug-in's key below the namespace's host plug-in key exists.
    bool isPluginRegisteredNamespaced(const std::wstring& name);

private:
    HosterApiImports* imports_;
};

template <>
struct GenericApiTraits<HosterApi> {
    static constexpr const char* constructorName = "GenericApi<class HosterApi>::GenericApi";
    static constexpr const char* destructorName = "GenericApi<class HosterApi>::~GenericApi";
};

// The process-wide host API object, created (and its library loaded) by the first caller,
// also when several threads ask at once, and deleted at normal process exit. Never null
// once created, until that exit-time deletion.
GenericApi<HosterApi>* hosterApi();
