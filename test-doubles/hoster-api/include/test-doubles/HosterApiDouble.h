#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace kv::doubles {

// Test-side control of the substitute host API library (kv_hoster_api_64.dll and its
// variants kv_hoster_api_64_noinit.dll, without KvHosterApi_Initialize and the dependency
// hook, and kv_hoster_api_64_nostop.dll, without KvHosterApi_StopPlugin).
//
// The library reads HKLM\SOFTWARE\KvTestDoubles\HosterApi (64-bit view) at every call:
//   "IsHosterRunning", "StopPlugin", "StartPlugin", "Initialize"  REG_DWORD results (default 0);
//   "StartPlugin.Flag0", "StartPlugin.Flag1"  REG_DWORD results of a start with that flag,
//       overriding "StartPlugin";
//   "InitializeDelayMs"  REG_DWORD pause inside KvHosterApi_Initialize;
//   "CallLog"  REG_SZ file to which one UTF-8 line per call is appended:
//       Initialize|<full path of the loaded library>
//       ZarnDelayLoadDependencies|<size>|<flags>|<namespace or (null)>|<directory or (null)>
//       IsHosterRunning|<namespace>|<zero>|<host id>
//       StopPlugin|<namespace>|<zero>|<plug-in name>|<flag>
//       StartPlugin|<namespace>|<zero>|<plug-in name>|<flag>
// A whole-program run configures the same key, for example with `wine reg add`.
class HosterApiDouble {
public:
    static constexpr const wchar_t* configKey = L"SOFTWARE\\KvTestDoubles\\HosterApi";
    static constexpr const wchar_t* callLogValue = L"CallLog";
    static constexpr const wchar_t* initializeDelayValue = L"InitializeDelayMs";

    // Starts from an empty configuration that records calls to `callLogPath` (emptied).
    explicit HosterApiDouble(std::wstring callLogPath);
    // Removes the configuration key.
    ~HosterApiDouble();
    HosterApiDouble(const HosterApiDouble&) = delete;
    HosterApiDouble& operator=(const HosterApiDouble&) = delete;

    // Sets one REG_DWORD setting of the table above.
    void set(const wchar_t* name, DWORD value) const;
    // The recorded lines, in call order, without line ends.
    std::vector<std::string> calls() const;
    void clearCalls() const;

    // Full paths of the built libraries beside the running test executable.
    static std::wstring libraryPath();
    static std::wstring libraryWithoutInitializePath();
    static std::wstring libraryWithoutStopPath();

private:
    std::wstring callLogPath_;
};

} // namespace kv::doubles
