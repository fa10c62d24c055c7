#include <windows.h>

#include "InstallerTestSupport.h"
#include "test-support/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const std::wstring Module = L"wpupdater-win-arm64";
const std::wstring Root = L"SOFTWARE\\Korvane\\Wisp";
const std::wstring InstallLog = wpu::test::machineLogPath(L"install-" + Module);

// A GUI-subsystem program (the PE optional header's subsystem) gets no console; without
// user32 among the imported DLLs it cannot make a window either.
TEST(InstallerExecutable, IsAGuiProgramWithoutTheWindowingLibrary) {
    HMODULE image = LoadLibraryExW((wpu::test::buildDirectory() + L"\\install-wpu.exe").c_str(), nullptr,
                                   DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(image, nullptr);
    const auto* base = reinterpret_cast<const BYTE*>(image);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::vector<std::string> dlls;
    for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         directory.VirtualAddress != 0 && entry->Name != 0; ++entry) {
        dlls.emplace_back(reinterpret_cast<const char*>(base + entry->Name));
        _strlwr(dlls.back().data());
    }
    EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    FreeLibrary(image);
    EXPECT_THAT(dlls, testing::Contains("kernel32.dll"));
    EXPECT_THAT(dlls, testing::Not(testing::Contains("user32.dll")));
}

// A namespace the file system cannot take as a folder name keeps its registry root; its log
// goes to the default namespace's folder and says why, instead of going nowhere. A namespace
// the resolver could not determine is named in the log, once. Either line follows the version.
TEST(InstallerRun, ANamespaceProblemIsAWarningAfterTheVersionInTheDefaultLogFolder) {
    kv::test::RegistryTree tree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane");
    wpu::test::ScopedEnvironment environment;
    environment.set(L"wp_module", L"wpu");
    environment.set(L"wp_version", L"2");
    environment.set(L"wp_title", L"Wisp Updater");
    wpu::test::createVersionKey(Root + L"\\updates\\wpu\\1", L"active");
    wpu::test::createVersionKey(Root + L"\\updates\\wpu\\2", L"");
    kv::test::RegistryTree namespaces(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\NS");
    const std::wstring wow = L"SOFTWARE\\Wow6432Node\\Korvane\\NS"; // the 32-bit view
    struct AllowAgain {
        std::wstring key;
        ~AllowAgain() { wpu::test::denyOnKey(key, 0); }
    } allowAgain{wow};
    const std::wstring folder = L" cannot name a log folder: this log is in the folder of wp_default";
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"bad|name", L"Product namespace wp_bad|name" + folder},
        {L"acme ", L"Product namespace wp_acme " + folder},
        {std::wstring(200, L'n'), L"Product namespace wp_" + std::wstring(200, L'n') + folder},
        {L"", L"No product namespace, the default one applies: cannot list the keys of "
              L"HKLM\\SOFTWARE\\Korvane\\NS (32-bit view), error = 5"},
    };
    for (const auto& [name, warning] : cases) {
        SCOPED_TRACE(testing::PrintToString(name));
        namespaces.clear();
        // HKLM\SOFTWARE\Korvane\NS\<name>\Corelane "InstallPath" (32-bit view)
        ASSERT_TRUE(kv::test::writeValue(
            HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\NS\\" + (name.empty() ? L"acme" : name) + L"\\Corelane",
            L"InstallPath", REG_SZ,
            kv::test::bytesOf((name.empty() ? L"C:\\elsewhere" : wpu::test::buildDirectory()) + L'\0'),
            KEY_WOW64_32KEY));
        const std::wstring nsRoot = name.empty() ? Root : L"SOFTWARE\\Korvane\\NS\\wp_" + name;
        // "rook" (REG_DWORD 1) in the default and the run's product root: the main logic then installs
        // nothing and answers 0, so these runs show the installer flow around it (the install sequence
        // itself is shown by the scenarios in scenarios/, each in a prepared prefix).
        for (const std::wstring& root : {Root, nsRoot}) {
            ASSERT_TRUE(kv::test::writeValue(HKEY_LOCAL_MACHINE, root, L"rook", REG_DWORD, {1, 0, 0, 0}));
        }
        if (name.empty()) {
            wpu::test::denyOnKey(wow, KEY_ENUMERATE_SUB_KEYS);
        }

        EXPECT_EQ(wpu::test::runProgram(L"install-wpu.exe", L"", InstallLog), 0u);

        EXPECT_EQ(wpu::test::registryString(nsRoot + L"\\modules\\" + Module, L"path"),
                  wpu::test::buildDirectory());
        const auto lines = wpu::test::readLogLines(InstallLog);
        ASSERT_GE(lines.size(), 4u);
        EXPECT_EQ(lines[3], L".W: InstallerMain: " + warning);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), lines[3]), 1);
        EXPECT_EQ(lines[lines.size() - 2], L" I: InstallerMain: Returning: 0");
    }
}

} // namespace
