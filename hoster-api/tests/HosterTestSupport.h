#pragma once

#include <windows.h>

#include "logging/Log.h"
#include "test-doubles/HosterApiDouble.h"
#include "test-support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

// Helpers of the host client's tests: the delay-load key of the default namespace, the
// substitute library's call log, and the log lines that the code under test writes (the
// log root is pointed at a test directory; lines are compared without their timestamp
// and process/thread ids).
namespace hoster_test {

constexpr wchar_t kLoggingKey[] = L"SOFTWARE\\Korvane\\Zarn\\Logging";

// Roots the log tree at `root` and lifts the size limit, so that no rotation happens in
// the middle of a test (the logging configuration lives in the 32-bit view).
inline void configureLogging(const std::wstring& root) {
    kv::test::writeValue(HKEY_LOCAL_MACHINE, kLoggingKey, L"RootPath", REG_SZ,
                         kv::test::bytesOf(root + L'\0'), KEY_WOW64_32KEY);
    kv::test::writeValue(HKEY_LOCAL_MACHINE, kLoggingKey, L"LogMaxSizeKB", REG_DWORD, {0xA0, 0x86, 0x01, 0},
                         KEY_WOW64_32KEY);
}

// The file of a log opened with the default namespace.
inline std::wstring logFilePath(const std::wstring& root, const std::wstring& component,
                                const std::wstring& stem) {
    return root + L"\\Korvane\\Log\\" + component + L"\\" + stem + L".log";
}

// The lines of a log file from a remembered offset on, each as "<tag>: <function>: <text>"
// (for example " I: HosterApi::init: ..."), without the marker lines, which name no function.
class LogLines {
public:
    explicit LogLines(std::wstring path) : path_(std::move(path)) {}

    // Later reads start at the current end of the file.
    void skipToEnd() { offset_ = kv::test::readFile(path_).size(); }

    std::vector<std::string> lines() const {
        const std::string content = kv::test::readFile(path_);
        std::vector<std::string> result;
        size_t start = offset_;
        while (start < content.size()) {
            size_t end = content.find("\r\n", start);
            if (end == std::string::npos) {
                end = content.size();
            }
            const std::string line = content.substr(start, end - start);
            start = end + 2;
            const size_t ids = line.find("] ");
            if (ids == std::string::npos) {
                continue;
            }
            const std::string rest = line.substr(ids + 2);
            // A line with a function name has a second ": " after the tag's.
            if (rest.size() > 4 && rest.find(": ", 4) != std::string::npos &&
                rest.find("***") == std::string::npos) {
                result.push_back(rest);
            }
        }
        return result;
    }

private:
    std::wstring path_;
    size_t offset_ = 0;
};

inline std::string info(const std::string& function, const std::string& text) {
    return " I: " + function + ": " + text;
}
inline std::string debug(const std::string& function, const std::string& text) {
    return " D: " + function + ": " + text;
}
inline std::string error(const std::string& function, const std::string& text) {
    return "*E: " + function + ": " + text;
}

// Writes a string value below HKEY_LOCAL_MACHINE, creating the key.
inline void setRegistryString(const std::wstring& key, REGSAM view, const wchar_t* name,
                              const std::wstring& text, DWORD type = REG_SZ) {
    kv::test::writeValue(HKEY_LOCAL_MACHINE, key, name, type, kv::test::bytesOf(text + L'\0'), view);
}

// Names `path` as the host API library of the default namespace.
inline void useLibrary(const std::wstring& path) {
    setRegistryString(L"SOFTWARE\\Korvane\\NS\\wp_default\\Zarn\\DelayLoad", 0, L"kv_hoster_api_64.dll",
                      path);
}

// The recorded calls without those of the load (the dependency hook and the initialisation).
inline std::vector<std::string> hostCallsOf(std::vector<std::string> calls) {
    calls.erase(std::remove_if(calls.begin(), calls.end(),
                               [](const std::string& line) {
                                   return line.rfind("Initialize|", 0) == 0 ||
                                          line.rfind("ZarnDelayLoadDependencies|", 0) == 0;
                               }),
                calls.end());
    return calls;
}

// The log of the test program, opened at Verbose on first use below a directory of its own.
inline const std::wstring& testLogPath() {
    static kv::test::TempDirectory root;
    static const std::wstring path = [] {
        configureLogging(root.path());
        KvZarnLogging::openLog(L"HosterApiTests", L"client", KvZarnLogging::Verbose, 0);
        return logFilePath(root.path(), L"HosterApiTests", L"client");
    }();
    return path;
}

constexpr char kConstructor[] = "GenericApi<class HosterApi>::GenericApi";
constexpr char kDestructor[] = "GenericApi<class HosterApi>::~GenericApi";
// The substitute's records of the host calls of the updater's plug-in.
const std::string kRunning = "IsHosterRunning|wp_default|0|0";
const std::string kStop = "StopPlugin|wp_default|0|WispWPUPlugin|0";
const std::string kStart0 = "StartPlugin|wp_default|0|WispWPUPlugin|0";
const std::string kStart1 = "StartPlugin|wp_default|0|WispWPUPlugin|1";

// Each test owns the default namespace's keys, the legacy host keys, the product root,
// a recording substitute library and the position in the test log where its lines begin.
class HostTest : public ::testing::Test {
protected:
    kv::test::RegistryTree namespace_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\NS\\wp_default"};
    kv::test::RegistryTree legacy_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\Zarn\\DLLHoster"};
    kv::test::RegistryTree productRoot_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\Wisp"};
    kv::test::TempDirectory directory_;
    kv::doubles::HosterApiDouble double_{directory_ / L"calls.txt"};
    LogLines log_{testLogPath()};

    void SetUp() override { log_.skipToEnd(); }
    std::vector<std::string> hostCalls() const { return hostCallsOf(double_.calls()); }
};

} // namespace hoster_test
