#include <windows.h>

#include "LogTestSupport.h"
#include "logging/Config.h"

#include <gtest/gtest.h>

#include <vector>

using namespace KvZarnLogging;

namespace {

constexpr wchar_t ShellFolders[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

struct Setting {
    const wchar_t* subkey;
    DWORD type;
    DWORD value;
    REGSAM view;
};

struct LevelCase {
    const char* why;
    std::vector<Setting> settings;
    const wchar_t* component;
    int expected;
};

class LogLevelLookup : public ::testing::TestWithParam<LevelCase> {
protected:
    logtest::LoggingSettings settings;
};

TEST_P(LogLevelLookup, MostSpecificValidSettingWins) {
    const LevelCase& row = GetParam();
    for (const Setting& setting : row.settings) {
        if (setting.type == REG_DWORD) {
            settings.setDword(setting.subkey, L"LogLevel", setting.value, setting.view);
        } else {
            settings.setString(setting.subkey, L"LogLevel", std::to_wstring(setting.value), setting.type,
                               setting.view);
        }
    }
    EXPECT_EQ(readLogLevel(row.component, L"install-x", 4), row.expected) << row.why;
}

constexpr REGSAM V32 = KEY_WOW64_32KEY;

INSTANTIATE_TEST_SUITE_P(
    Table, LogLevelLookup,
    ::testing::Values(
        LevelCase{"component value for its component",
                  {{L"Wisp", REG_DWORD, 6, V32}, {L"", REG_DWORD, 2, V32}},
                  L"Wisp",
                  6},
        LevelCase{"global value for other components",
                  {{L"Wisp", REG_DWORD, 6, V32}, {L"", REG_DWORD, 2, V32}},
                  L"Other",
                  2},
        LevelCase{"file value beats component value",
                  {{L"Wisp\\install-x", REG_DWORD, 3, V32}, {L"Wisp", REG_DWORD, 6, V32}},
                  L"Wisp",
                  3},
        LevelCase{"0xFFFFFFFF for the file means: ask the component",
                  {{L"Wisp\\install-x", REG_DWORD, 0xFFFFFFFF, V32}, {L"Wisp", REG_DWORD, 5, V32}},
                  L"Wisp",
                  5},
        LevelCase{"0xFFFFFFFF for the component means: ask the global key",
                  {{L"Wisp", REG_DWORD, 0xFFFFFFFF, V32}, {L"", REG_DWORD, 2, V32}},
                  L"Wisp",
                  2},
        LevelCase{
            "0xFFFFFFFF in the global key is a value", {{L"", REG_DWORD, 0xFFFFFFFF, V32}}, L"Wisp", -1},
        LevelCase{"REG_SZ is ignored at every level",
                  {{L"Wisp\\install-x", REG_SZ, 6, V32}, {L"Wisp", REG_SZ, 6, V32}, {L"", REG_SZ, 6, V32}},
                  L"Wisp",
                  4},
        LevelCase{"the 64-bit view is never read",
                  {{L"Wisp", REG_DWORD, 6, KEY_WOW64_64KEY}, {L"", REG_DWORD, 6, KEY_WOW64_64KEY}},
                  L"Wisp",
                  4},
        LevelCase{"nothing set gives the caller's default", {}, L"Wisp", 4}));

TEST(LoggingConfig, SizeLimitAndDebugOutputFollowTheSameLookup) {
    logtest::LoggingSettings settings;
    EXPECT_EQ(readMaxSize(L"Wisp", L"install-x"), 51200u);
    EXPECT_FALSE(readDebugOutput(L"Wisp", L"install-x"));

    settings.setDword(L"Wisp", L"LogMaxSizeKB", 1);
    settings.setDword(L"Wisp\\install-x", L"DebugOutputLogging", 7);
    EXPECT_EQ(readMaxSize(L"Wisp", L"install-x"), 1024u);
    EXPECT_TRUE(readDebugOutput(L"Wisp", L"install-x"));
    EXPECT_FALSE(readDebugOutput(L"Wisp", L"other"));

    // The product is taken in 64 bits: 4 GB and more do not wrap.
    settings.setDword(L"", L"LogMaxSizeKB", 0x00400000);
    EXPECT_EQ(readMaxSize(L"Other", L"x"), 0x100000000ull);
}

TEST(LoggingConfig, RegistryStringsDropOneTerminatorAndAreNotExpanded) {
    logtest::LoggingSettings settings;
    settings.setString(L"", L"Expand", L"%SystemRoot%\\Logs", REG_EXPAND_SZ);
    settings.setString(L"", L"Dword", L"x");
    settings.setDword(L"", L"Dword", 5);
    EXPECT_EQ(readRegistryString(HKEY_LOCAL_MACHINE, LoggingKeyPath, L"Expand", KEY_WOW64_32KEY),
              L"%SystemRoot%\\Logs");
    EXPECT_EQ(readRegistryString(HKEY_LOCAL_MACHINE, LoggingKeyPath, L"Dword", KEY_WOW64_32KEY), L"");
    EXPECT_EQ(readRegistryString(HKEY_LOCAL_MACHINE, LoggingKeyPath, L"Missing", KEY_WOW64_32KEY), L"");
    EXPECT_EQ(readRegistryString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\No\\Such\\Key", L"x", 0), L"");

    // Stored without a terminator, with two, with an odd byte count, or empty.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, LoggingKeyPath, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, &key),
              ERROR_SUCCESS);
    const wchar_t text[] = L"abc\0\0";
    RegSetValueExW(key, L"Bare", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 3 * sizeof(wchar_t));
    RegSetValueExW(key, L"Two", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 5 * sizeof(wchar_t));
    RegSetValueExW(key, L"Odd", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 5);
    RegSetValueExW(key, L"Empty", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 0);
    RegCloseKey(key);
    EXPECT_EQ(readRegistryString(HKEY_LOCAL_MACHINE, LoggingKeyPath, L"Bare", KEY_WOW64_32KEY), L"abc");
    EXPECT_EQ(readRegistryString(HKEY_LOCAL_MACHINE, LoggingKeyPath, L"Two", KEY_WOW64_32KEY),
              std::wstring(L"abc\0", 4));
    EXPECT_EQ(readRegistryString(HKEY_LOCAL_MACHINE, LoggingKeyPath, L"Odd", KEY_WOW64_32KEY), L"ab");
    EXPECT_EQ(readRegistryString(HKEY_LOCAL_MACHINE, LoggingKeyPath, L"Empty", KEY_WOW64_32KEY), L"");

    EXPECT_EQ(readRegistryDword(HKEY_LOCAL_MACHINE, LoggingKeyPath, L"Dword", KEY_WOW64_32KEY, 9), 5u);
    EXPECT_EQ(readRegistryDword(HKEY_LOCAL_MACHINE, LoggingKeyPath, L"Expand", KEY_WOW64_32KEY, 9), 9u);
    EXPECT_EQ(readRegistryDword(HKEY_LOCAL_MACHINE, LoggingKeyPath, L"Dword", KEY_WOW64_64KEY, 9), 9u);
}

TEST(LoggingConfig, ExpandEnvironment) {
    logtest::SavedEnvironment variable(L"KV_LOG_TEST_DIR", L"C:\\Somewhere");
    EXPECT_EQ(expandEnvironment(L"%KV_LOG_TEST_DIR%\\x"), L"C:\\Somewhere\\x");
    EXPECT_EQ(expandEnvironment(L"%KV_LOG_NOT_SET%"), L"%KV_LOG_NOT_SET%");
    EXPECT_EQ(expandEnvironment(L""), L"");
}

struct RootCase {
    const char* why;
    RootKind kind;
    HKEY hive;
    const wchar_t* shellFolder;
    const wchar_t* environment;
};

class LoggingRoot : public ::testing::TestWithParam<RootCase> {};

// Each source is taken away in turn: RootPath, then the Shell Folders entry,
// then the environment variable is what remains.
TEST_P(LoggingRoot, FallsBackFromRootPathToShellFolderToEnvironment) {
    const RootCase& row = GetParam();
    logtest::LoggingSettings settings;
    logtest::SavedValue folder(row.hive, ShellFolders, row.shellFolder);
    logtest::SavedEnvironment environment(row.environment, L"C:\\FromEnvironment");

    settings.setRoot(L"D:\\Logs", row.hive);
    if (row.hive == HKEY_LOCAL_MACHINE) {
        settings.setString(L"", L"RootPath", L"D:\\Wrong", REG_SZ, KEY_WOW64_64KEY, row.hive);
    }
    folder.set(L"C:\\FromShellFolders");
    EXPECT_EQ(readLoggingRoot(row.kind), L"D:\\Logs") << row.why;

    settings.setRoot(L"", row.hive);
    EXPECT_EQ(readLoggingRoot(row.kind), L"C:\\FromShellFolders") << row.why;

    folder.remove();
    EXPECT_EQ(readLoggingRoot(row.kind), L"C:\\FromEnvironment") << row.why;
}

INSTANTIATE_TEST_SUITE_P(Table, LoggingRoot,
                         ::testing::Values(RootCase{"administrator", RootKind::Machine, HKEY_LOCAL_MACHINE,
                                                    L"Common AppData", L"ProgramData"},
                                           RootCase{"standard user", RootKind::User, HKEY_CURRENT_USER,
                                                    L"Local AppData", L"LOCALAPPDATA"}));

TEST(LoggingConfig, LowIntegrityRootIsTheLocalLowFolderOnly) {
    logtest::LoggingSettings settings;
    settings.setRoot(L"D:\\Logs", HKEY_CURRENT_USER);
    logtest::SavedValue localLow(HKEY_CURRENT_USER, ShellFolders, L"{A520A1A4-1780-4FF6-BD18-167343C5AF16}");
    localLow.set(L"C:\\Users\\u\\AppData\\LocalLow");
    EXPECT_EQ(readLoggingRoot(RootKind::LowIntegrityUser), L"C:\\Users\\u\\AppData\\LocalLow");
    localLow.remove();
    EXPECT_EQ(readLoggingRoot(RootKind::LowIntegrityUser), L"");
}

} // namespace
