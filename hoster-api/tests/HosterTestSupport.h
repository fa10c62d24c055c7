#pragma once

#include <windows.h>

#include "logging/Log.h"
#include "test-doubles/HosterApiDouble.h"
#include "test-support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

// Helpers of the host client's tests: registry strings and the lines that the code under
// test logs, compared without their timestamp and ids.
namespace hoster_test {

using Lines = std::vector<std::string>;

inline void setString(const std::wstring& key, REGSAM view, const wchar_t* name, const std::wstring& text) {
    kv::test::writeValue(HKEY_LOCAL_MACHINE, key, name, REG_SZ, kv::test::bytesOf(text + L'\0'), view);
}

// Names `path` as the host API library of the default namespace.
inline void useLibrary(const std::wstring& path) {
    setString(L"SOFTWARE\\Korvane\\NS\\wp_default\\Zarn\\DelayLoad", 0, L"kv_hoster_api_64.dll", path);
}

// Roots the log tree at `root` and lifts the size limit, so that no rotation happens in a test.
inline void configureLogging(const std::wstring& root) {
    setString(L"SOFTWARE\\Korvane\\Zarn\\Logging", KEY_WOW64_32KEY, L"RootPath", root);
    kv::test::writeValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\Zarn\\Logging", L"LogMaxSizeKB", REG_DWORD,
                         {0xA0, 0x86, 0x01, 0}, KEY_WOW64_32KEY);
}

// The lines of a log file from byte `offset` on, each as "<tag>: <function>: <text>",
// without the marker lines.
inline Lines logLines(const std::wstring& path, size_t offset = 0) {
    const std::string content = kv::test::readFile(path);
    Lines result;
    for (size_t start = offset, end = 0; start < content.size(); start = end + 2) {
        end = std::min(content.find("\r\n", start), content.size());
        const std::string line = content.substr(start, end - start);
        if (line.find("] ") != std::string::npos && line.find("***") == std::string::npos) {
            result.push_back(line.substr(line.find("] ") + 2));
        }
    }
    return result;
}

// The lines of `lines` that `function` logged.
inline Lines linesOf(const Lines& lines, const std::string& function) {
    Lines result;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(result),
                 [&](const std::string& line) { return line.find(": " + function + ": ") != line.npos; });
    return result;
}

// Expected lines of the three levels.
const auto info = [](const std::string& f, const std::string& text) { return " I: " + f + ": " + text; };
const auto debug = [](const std::string& f, const std::string& text) { return " D: " + f + ": " + text; };
const auto error = [](const std::string& f, const std::string& text) { return "*E: " + f + ": " + text; };

const std::string kConstructor = "GenericApi<class HosterApi>::GenericApi";
const std::string kDestructor = "GenericApi<class HosterApi>::~GenericApi";
// The substitute's records of the host calls for the updater's plug-in.
const std::string kRunning = "IsHosterRunning|wp_default|0|0";
const std::string kStop = "StopPlugin|wp_default|0|WispWPUPlugin|0";
const std::string kStart0 = "StartPlugin|wp_default|0|WispWPUPlugin|0";
const std::string kStart1 = "StartPlugin|wp_default|0|WispWPUPlugin|1";

// Each test owns the default namespace's keys, the legacy host keys, the product root and a
// recording substitute library; log() answers the lines of the test log since skipLog().
class HostTest : public ::testing::Test {
protected:
    kv::test::RegistryTree namespace_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\NS\\wp_default"};
    kv::test::RegistryTree legacy_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\Zarn\\DLLHoster"};
    kv::test::RegistryTree productRoot_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\Wisp"};
    kv::test::TempDirectory directory_;
    kv::doubles::HosterApiDouble double_{directory_ / L"calls.txt"};
    size_t logStart_ = 0;

    // The test program's log, opened at Verbose on first use below a directory of its own.
    static const std::wstring& logPath() {
        static kv::test::TempDirectory root;
        static const std::wstring path = [] {
            configureLogging(root.path());
            KvZarnLogging::openLog(L"HosterApiTests", L"client", KvZarnLogging::Verbose, 0);
            return root / L"Korvane\\Log\\HosterApiTests\\client.log";
        }();
        return path;
    }
    void SetUp() override { skipLog(); }
    void skipLog() { logStart_ = kv::test::readFile(logPath()).size(); }
    Lines log() const { return logLines(logPath(), logStart_); }
};

} // namespace hoster_test
