#include <windows.h>

#include "LogTestSupport.h"
#include "logging/Config.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

using namespace KvZarnLogging;

namespace {

constexpr REGSAM V32 = KEY_WOW64_32KEY, V64 = KEY_WOW64_64KEY;

TEST(LoggingConfig, LogLevelLookup) {
    // A setting: its subkey and value, a REG_DWORD in the 32-bit view unless told otherwise.
    struct Setting {
        const wchar_t* subkey;
        DWORD value, type = REG_DWORD;
        REGSAM view = V32;
    };
    const wchar_t* file = L"Wisp\\install-x";
    // clang-format off
    const struct { const char* why; std::vector<Setting> settings; const wchar_t* component; int expected; } rows[] = {
        {"component value", {{L"Wisp", 6}, {L"", 2}}, L"Wisp", 6},
        {"global value for others", {{L"Wisp", 6}, {L"", 2}}, L"Other", 2},
        {"file beats component", {{file, 3}, {L"Wisp", 6}}, L"Wisp", 3},
        {"file 0xFFFFFFFF skipped", {{file, 0xFFFFFFFF}, {L"Wisp", 5}}, L"Wisp", 5},
        {"component 0xFFFFFFFF skipped", {{L"Wisp", 0xFFFFFFFF}, {L"", 2}}, L"Wisp", 2},
        {"global 0xFFFFFFFF is a value", {{L"", 0xFFFFFFFF}}, L"Wisp", -1},
        {"REG_SZ ignored everywhere", {{file, 6, REG_SZ}, {L"Wisp", 6, REG_SZ}, {L"", 6, REG_SZ}}, L"Wisp", 4},
        {"64-bit view never read", {{L"Wisp", 6, REG_DWORD, V64}, {L"", 6, REG_DWORD, V64}}, L"Wisp", 4},
        {"nothing set", {}, L"Wisp", 4},
    };
    // clang-format on
    for (const auto& row : rows) {
        logtest::LoggingSettings settings;
        for (const Setting& setting : row.settings) {
            if (setting.type == REG_DWORD) {
                settings.setDword(setting.subkey, L"LogLevel", setting.value, setting.view);
            } else {
                settings.setString(setting.subkey, L"LogLevel", std::to_wstring(setting.value), setting.type);
            }
        }
        EXPECT_EQ(readLogLevel(row.component, L"install-x", 4), row.expected) << row.why;
    }
}

TEST(LoggingConfig, SizeLimitAndDebugOutput) {
    logtest::LoggingSettings settings;
    EXPECT_EQ(readMaxSize(L"Wisp", L"install-x"), 51200u);
    EXPECT_FALSE(readDebugOutput(L"Wisp", L"install-x"));
    settings.setDword(L"Wisp\\install-x", L"DebugOutputLogging", 7);
    EXPECT_TRUE(readDebugOutput(L"Wisp", L"install-x"));
    EXPECT_FALSE(readDebugOutput(L"Wisp", L"other"));
    settings.setDword(L"", L"LogMaxSizeKB", 0x00400000);
    EXPECT_EQ(readMaxSize(L"Other", L"x"), 0x100000000ull) << "computed in 64 bits";
}

TEST(LoggingConfig, RegistryStringsDropOneTerminatorAndAreNotExpanded) {
    logtest::LoggingSettings settings;
    settings.setString(L"", L"Expand", L"%SystemRoot%\\Logs", REG_EXPAND_SZ);
    const kv::test::Bytes text = kv::test::bytesOf(std::wstring(L"abc\0\0", 5));
    for (const auto& [name, bytes] :
         {std::pair<const wchar_t*, int>{L"Bare", 6}, {L"Two", 10}, {L"Odd", 5}}) {
        kv::test::writeValue(HKEY_LOCAL_MACHINE, LoggingKeyPath, name, REG_SZ,
                             kv::test::Bytes(text.begin(), text.begin() + bytes), V32);
    }
    const std::pair<const wchar_t*, std::wstring> rows[] = {{L"Expand", L"%SystemRoot%\\Logs"},
                                                            {L"Bare", L"abc"},
                                                            {L"Two", std::wstring(L"abc\0", 4)},
                                                            {L"Odd", L"ab"},
                                                            {L"Missing", L""}};
    for (const auto& [name, expected] : rows) {
        EXPECT_EQ(readRegistryString(HKEY_LOCAL_MACHINE, LoggingKeyPath, name, V32), expected) << name;
    }
}

// Each source of a root is taken away in turn: RootPath (32-bit view), the
// Shell Folders entry (put back as it was afterwards), then the environment variable remains.
TEST(LoggingConfig, RootFallsBackFromRootPathToShellFolderToEnvironment) {
    const wchar_t* folders = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
    const std::wstring fromFolder = L"C:\\FromShellFolders";
    const std::tuple<RootKind, HKEY, const wchar_t*, const wchar_t*> rows[] = {
        {RootKind::Machine, HKEY_LOCAL_MACHINE, L"Common AppData", L"%ProgramData%"},
        {RootKind::User, HKEY_CURRENT_USER, L"Local AppData", L"%LOCALAPPDATA%"}};
    for (const auto& [kind, hive, name, environment] : rows) {
        logtest::LoggingSettings settings;
        const std::optional<kv::test::RegValue> old = kv::test::readValue(hive, folders, name);
        settings.setRoot(L"D:\\Logs", hive);
        if (hive == HKEY_LOCAL_MACHINE) { // HKCU\Software has one view only
            settings.setString(L"", L"RootPath", L"D:\\Wrong", REG_SZ, V64);
        }
        kv::test::writeValue(hive, folders, name, REG_SZ, kv::test::bytesOf(fromFolder + L'\0'));
        EXPECT_EQ(readLoggingRoot(kind), L"D:\\Logs");
        settings.setRoot(L"", hive);
        EXPECT_EQ(readLoggingRoot(kind), fromFolder);
        RegDeleteKeyValueW(hive, folders, name);
        EXPECT_EQ(readLoggingRoot(kind), expandEnvironment(environment));
        EXPECT_NE(readLoggingRoot(kind), environment);
        if (old) {
            kv::test::writeValue(hive, folders, name, old->first, old->second);
        }
    }
}

} // namespace
