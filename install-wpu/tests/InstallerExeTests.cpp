#include <windows.h>

#include "kvtl/Handle.h"
#include "winenv/ShellFolders.h"

#include "InstallerTestSupport.h"
#include "test-support/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

namespace {

using testing::ElementsAreArray;
using wpu::test::createVersionKey;
using wpu::test::registryString;

constexpr wchar_t Module[] = L"wpupdater-win-arm64";
constexpr wchar_t Root[] = L"SOFTWARE\\Korvane\\Wisp";

std::wstring installer() {
    return wpu::test::buildDirectory() + L"\\install-wpu.exe";
}

std::vector<std::wstring> realHeader(const std::wstring& logStem) {
    return {L"", L" I: ***  LOGGING STARTED  ***", L" I: InstallerMain: Version: 02.08.22.00 ()",
            L" I: CrashHandler::RegisterCrashHooks: Hooking crash",
            L" I: CrashHandler::RegisterCrashHooks: Dump path: '" + wpu::test::crashDumpFolder() + L"\\" +
                logStem + L".dmp'"};
}

std::vector<std::wstring> flushAndReturn(int result) {
    return {L" I: flushRegistryKeyByName: Registry SOFTWARE (256) is flushed successfully",
            L" I: flushRegistryKeyByName: Registry SYSTEM (256) is flushed successfully",
            L" I: flushRegistryKeyByName: Registry SOFTWARE (512) is flushed successfully",
            L" I: InstallerMain: Returning: " + std::to_wstring(result), L" I: ***  LOGGING ENDED  ***"};
}

// The PE optional header's subsystem and the names of the imported DLLs.
void readImage(const std::wstring& path, WORD& subsystem, std::vector<std::string>& dlls) {
    HMODULE image = LoadLibraryExW(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(image, nullptr);
    const auto* base = reinterpret_cast<const BYTE*>(image);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    subsystem = nt->OptionalHeader.Subsystem;
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         directory.VirtualAddress != 0 && entry->Name != 0; ++entry) {
        std::string name = reinterpret_cast<const char*>(base + entry->Name);
        for (char& c : name) {
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        }
        dlls.push_back(name);
    }
    FreeLibrary(image);
}

// A GUI-subsystem program gets no console; without user32 it cannot make a window either.
TEST(InstallerExecutable, IsAGuiProgramWithoutTheWindowingLibrary) {
    WORD subsystem = 0;
    std::vector<std::string> dlls;
    readImage(installer(), subsystem, dlls);
    EXPECT_EQ(subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    EXPECT_THAT(dlls, testing::Contains("kernel32.dll"));
    EXPECT_THAT(dlls, testing::Not(testing::Contains("user32.dll")));
}

// The product root's "rook" value (REG_DWORD 1): the main logic then installs nothing and
// answers 0, so these runs show the installer flow around it (the install sequence
// itself is shown by the scenarios in scenarios/, each in a prepared prefix).
void setRookMode(const std::wstring& productRoot) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, productRoot.c_str(), 0, nullptr, 0,
                              KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const DWORD rook = 1;
    RegSetValueExW(key, L"rook", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&rook), sizeof(rook));
    RegCloseKey(key);
}

class InstallerRun : public testing::Test {
protected:
    kv::test::RegistryTree tree_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane"};
    wpu::test::ScopedEnvironment environment_;

    void SetUp() override {
        environment_.set(L"wp_module", L"wpu");
        environment_.set(L"wp_version", L"2");
        environment_.set(L"wp_title", L"Wisp Updater");
        createVersionKey(std::wstring(Root) + L"\\updates\\wpu\\1", L"active");
        createVersionKey(std::wstring(Root) + L"\\updates\\wpu\\2", L"");
        setRookMode(Root);
    }
};

TEST_F(InstallerRun, UninstallAsAdministratorReturns201AndChangesNothing) {
    createVersionKey(std::wstring(Root) + L"\\modules\\" + Module, L"");
    createVersionKey(std::wstring(Root) + L"\\RebootRequested", L"");
    const auto before = wpu::test::snapshotRegistry(L"SOFTWARE\\Korvane");
    const std::wstring log = wpu::test::machineLogPath(std::wstring(L"uninstall-") + Module);
    DeleteFileW(log.c_str());

    EXPECT_EQ(kv::test::runCommand(L"\"" + installer() + L"\" --uninstall"), 201u);

    EXPECT_EQ(wpu::test::snapshotRegistry(L"SOFTWARE\\Korvane"), before);
    std::vector<std::wstring> expected = realHeader(std::wstring(L"uninstall-") + Module);
    for (const std::wstring& line :
         {std::wstring(
              L" I: InstallerMain: WPU registry root: SOFTWARE\\Korvane\\Wisp, module=wpu, title=Wisp "
              L"Updater, version=2"),
          std::wstring(L" I: InstallerMain: Uninstalling wpu"),
          std::wstring(L" I: InstallerMain: Executing main logic..."),
          std::wstring(L" I: InstallerMain: Main logic returned: 201")}) {
        expected.push_back(line);
    }
    for (const std::wstring& line : flushAndReturn(201)) {
        expected.push_back(line);
    }
    EXPECT_THAT(wpu::test::readLogLines(log), ElementsAreArray(expected));
}

TEST_F(InstallerRun, WithoutAdministratorRightsTheExitCodeIsOne) {
    const auto before = wpu::test::snapshotRegistry(L"SOFTWARE\\Korvane");
    EXPECT_EQ(wpu::test::runWithoutAdministrators(L"\"" + installer() + L"\" --uninstall"), 1u);
    EXPECT_EQ(wpu::test::runWithoutAdministrators(L"\"" + installer() + L"\""), 1u);
    EXPECT_EQ(wpu::test::snapshotRegistry(L"SOFTWARE\\Korvane"), before);
    const auto lines = wpu::test::readLogLines(wpu::test::userLogPath(std::wstring(L"install-") + Module));
    EXPECT_THAT(lines, testing::Contains(L"*E: InstallerMain: Not enough rights."));
}

TEST_F(InstallerRun, InstallActivatesTheVersionAndRegistersTheModule) {
    const std::wstring log = wpu::test::machineLogPath(std::wstring(L"install-") + Module);
    DeleteFileW(log.c_str());
    EXPECT_EQ(kv::test::runCommand(L"\"" + installer() + L"\""), 0u);
    EXPECT_EQ(registryString(std::wstring(Root) + L"\\modules\\" + Module, L"path"),
              wpu::test::buildDirectory());
    EXPECT_EQ(registryString(std::wstring(Root) + L"\\updates\\wpu\\2", L"status"), L"active");
    EXPECT_EQ(registryString(std::wstring(Root) + L"\\updates\\wpu\\1", L"status"), L"previous");
    const auto lines = wpu::test::readLogLines(log);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[2], L" I: InstallerMain: Version: 02.08.22.00 ()");
    EXPECT_EQ(lines[lines.size() - 2], L" I: InstallerMain: Returning: 0");
}

// A volatile product root accepts only volatile keys below it, so the module path
// cannot be recorded: the machinery must not read the run as a success.
TEST_F(InstallerRun, AModulePathTheRegistryRefusesFailsTheRun) {
    ASSERT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, Root), ERROR_SUCCESS);
    for (const wchar_t* sub : {L"", L"\\updates", L"\\updates\\wpu", L"\\updates\\wpu\\2"}) {
        kv::UniqueHkey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(Root) + sub).c_str(), 0, nullptr,
                                  REG_OPTION_VOLATILE, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, key.put(),
                                  nullptr),
                  ERROR_SUCCESS);
    }
    setRookMode(Root);
    const std::wstring log = wpu::test::machineLogPath(std::wstring(L"install-") + Module);
    DeleteFileW(log.c_str());

    EXPECT_EQ(kv::test::runCommand(L"\"" + installer() + L"\""), 7u);

    EXPECT_EQ(registryString(std::wstring(Root) + L"\\updates\\wpu\\2", L"status"), L"active");
    const auto lines = wpu::test::readLogLines(log);
    EXPECT_THAT(lines,
                testing::Contains(std::wstring(L"*E: InstallerMain: Record 'path' not written under ") +
                                  Root + L"\\modules\\" + Module + L", error = " +
                                  std::to_wstring(ERROR_CHILD_MUST_BE_VOLATILE)));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], L" I: InstallerMain: Returning: 7");
}

// Writes HKLM\SOFTWARE\Korvane\NS\<name>\Corelane "InstallPath" (32-bit view).
void registerNamespace(const std::wstring& name, const std::wstring& installPath) {
    ASSERT_TRUE(kv::test::writeValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\NS\\" + name + L"\\Corelane",
                                     L"InstallPath", REG_SZ, kv::test::bytesOf(installPath + L'\0'),
                                     KEY_WOW64_32KEY));
}

// A namespace the file system cannot take as a folder name keeps its registry root; its log
// goes to the default namespace's folder and says why, instead of going nowhere.
TEST_F(InstallerRun, ANamespaceThatCannotNameAFolderLogsInTheDefaultFolder) {
    kv::test::RegistryTree namespaces(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\NS");
    const std::wstring log = wpu::test::machineLogPath(std::wstring(L"install-") + Module);
    for (const std::wstring& name :
         {std::wstring(L"bad|name"), std::wstring(L"acme "), std::wstring(200, L'n')}) {
        SCOPED_TRACE(testing::PrintToString(name));
        namespaces.clear();
        registerNamespace(name, wpu::test::buildDirectory());
        const std::wstring nsRoot = L"SOFTWARE\\Korvane\\NS\\wp_" + name;
        setRookMode(nsRoot);
        DeleteFileW(log.c_str());

        EXPECT_EQ(kv::test::runCommand(L"\"" + installer() + L"\""), 0u);

        EXPECT_EQ(registryString(nsRoot + L"\\modules\\" + Module, L"path"), wpu::test::buildDirectory());
        const auto lines = wpu::test::readLogLines(log);
        ASSERT_GE(lines.size(), 4u);
        EXPECT_EQ(lines[3], L".W: InstallerMain: Product namespace wp_" + name +
                                L" cannot name a log folder: this log is in the folder of wp_default");
        EXPECT_EQ(lines[lines.size() - 2], L" I: InstallerMain: Returning: 0");
    }
}

// A namespace the resolver could not determine is named in the log, once, after the version.
TEST_F(InstallerRun, ANamespaceKeyThatCannotBeListedIsAWarning) {
    kv::test::RegistryTree namespaces(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\NS");
    registerNamespace(L"acme", L"C:\\elsewhere");
    wpu::test::denyOnKey(L"SOFTWARE\\Wow6432Node\\Korvane\\NS", KEY_ENUMERATE_SUB_KEYS); // its 32-bit view
    struct AllowAgain {
        ~AllowAgain() { wpu::test::denyOnKey(L"SOFTWARE\\Wow6432Node\\Korvane\\NS", 0); }
    } allowAgain;
    const std::wstring log = wpu::test::machineLogPath(std::wstring(L"install-") + Module);
    DeleteFileW(log.c_str());

    EXPECT_EQ(kv::test::runCommand(L"\"" + installer() + L"\""), 0u);

    const auto lines = wpu::test::readLogLines(log);
    const std::wstring warning = L".W: InstallerMain: No product namespace, the default one applies: cannot "
                                 L"list the keys of HKLM\\SOFTWARE\\Korvane\\NS (32-bit view), error = 5";
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[3], warning);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), warning), 1);
}

// An installer lying in a namespaced product directory works below that namespace.
TEST_F(InstallerRun, InANamespacedDirectoryTheNamespaceSelectsRootAndLog) {
    const std::wstring programFiles = getFolderPath(FolderId::ProgramFilesX86);
    const std::wstring product = programFiles + L"\\Korvane";
    const std::wstring directory = product + L"\\Wisp\\bin";
    kv::test::removeDirectoryTree(product);
    ASSERT_TRUE(CreateDirectoryW(product.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((product + L"\\Wisp").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(installer().c_str(), (directory + L"\\install-wpu.exe").c_str(), FALSE));
    HANDLE file = CreateFileW((product + L"\\namespace.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const unsigned char content[] = {0xFF, 0xFE, 'a', 0, 'c', 0, 'm', 0, 'e', 0};
    DWORD written = 0;
    WriteFile(file, content, sizeof(content), &written, nullptr);
    CloseHandle(file);
    const std::wstring nsRoot = L"SOFTWARE\\Korvane\\NS\\wp_acme";
    createVersionKey(nsRoot + L"\\updates\\wpu\\2", L"");
    setRookMode(nsRoot);
    const std::wstring log = wpu::test::machineLogPath(std::wstring(L"install-") + Module, L"wp_acme");
    DeleteFileW(log.c_str());

    EXPECT_EQ(kv::test::runCommand(L"\"" + directory + L"\\install-wpu.exe\""), 0u);

    EXPECT_EQ(registryString(nsRoot + L"\\modules\\" + Module, L"path"), directory);
    EXPECT_EQ(registryString(nsRoot + L"\\updates\\wpu\\2", L"status"), L"active");
    EXPECT_EQ(registryString(std::wstring(Root) + L"\\updates\\wpu\\2", L"status"), L"<missing>");
    const auto lines = wpu::test::readLogLines(log);
    EXPECT_THAT(lines,
                testing::Contains(L" I: InstallerMain: WPU registry root: SOFTWARE\\Korvane\\NS\\wp_acme, "
                                  L"module=wpu, title=Wisp Updater, version=2"));
    kv::test::removeDirectoryTree(product);
}

} // namespace
