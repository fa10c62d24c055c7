#include "WinenvTest.h"
#include "winenv/NamespaceResolver.h"
#include "winenv/ProductNamespace.h"
#include "winenv/ShellFolders.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <tuple>
#include <vector>

namespace {

// A namespace file: UTF-16LE after an FF FE mark, or without one.
std::string utf16File(const std::wstring& text, bool mark = true) {
    std::string bytes = mark ? "\xFF\xFE" : "";
    for (wchar_t c : text) {
        bytes += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    }
    return bytes;
}

void writeFile(const std::wstring& path, const std::string& bytes) {
    EXPECT_TRUE(std::ofstream(std::filesystem::path(path), std::ios::binary) << bytes) << path;
}

// Program files folders in a temporary directory and a fixed set of install paths.
class FakeResolver : public NamespaceResolver {
public:
    std::map<std::wstring, std::wstring> installPaths;
    std::wstring programFiles;
    std::wstring programFilesX86;
    std::vector<std::wstring> filesRead;

    std::map<std::wstring, std::wstring> getInstallPaths() override { return installPaths; }
    std::wstring getProgramFilesDir() override { return programFiles; }
    std::wstring getProgramFilesX86Dir() override { return programFilesX86; }
    std::wstring readNamespaceFile(const std::wstring& directory) override {
        filesRead.push_back(directory);
        return NamespaceResolver::readNamespaceFile(directory);
    }
};

TEST(ProductNamespace, NameAndRoot) {
    const std::tuple<const wchar_t*, const wchar_t*, const wchar_t*> rows[] = {
        {L"", L"wp_default", L"SOFTWARE\\Korvane\\Wisp"},
        {L"abc", L"wp_abc", L"SOFTWARE\\Korvane\\NS\\wp_abc"},
        {L"default", L"wp_default", L"SOFTWARE\\Korvane\\Wisp"},
        {L"Default", L"wp_Default", L"SOFTWARE\\Korvane\\NS\\wp_Default"},
    };
    for (const auto& [resolved, name, root] : rows) {
        EXPECT_EQ(productNamespaceNameFor(resolved), name);
        EXPECT_EQ(productRoot(productNamespaceNameFor(resolved)), root);
    }
}

TEST(ProductNamespace, NamesTheFileSystemCannotHoldAsAFolder) {
    const std::wstring usable[] = {L"wp_acme",      L"wp_a b",       L"wp_\xD83D\xDE00",
                                   L"\xD800\xDC00", L"\xDBFF\xDFFF", std::wstring(255, L'n')};
    const wchar_t* unusable[] = {L"",       L"wp_a<b",     L"wp_a>b",    L"wp_a:b",   L"wp_a\"b",  L"wp_a|b",
                                 L"wp_a?b", L"wp_a*b",     L"wp_a/b",    L"wp_a\\b",  L"wp_a\x01", L"wp_a ",
                                 L"wp_a.",  L"wp_\xD83Dx", L"wp_\xDE00", L"wp_\xD83D"};
    for (const std::wstring& name : usable) {
        EXPECT_TRUE(isUsableFolderName(name)) << testing::PrintToString(name);
    }
    for (const std::wstring name : unusable) {
        EXPECT_FALSE(isUsableFolderName(name)) << testing::PrintToString(name);
    }
    EXPECT_FALSE(isUsableFolderName(std::wstring(256, L'n')));
}

TEST(NamespaceFile, MarkAndSizeRules) {
    const std::tuple<std::string, std::wstring, const char*> rows[] = {
        {utf16File(L"acme"), L"acme", "UTF-16LE after FF FE"},
        {utf16File(L"acme", false), L"", "no byte-order mark"},
        {"\xFF\xFE", L"", "the mark alone"},
        {"\xFF\xFEx", L"", "half a character"},
        {"\xEF\xBB\xBFxy", L"", "a UTF-8 mark"},
        {utf16File(L" acme\r\n"), L" acme\r\n", "taken as it is"},
        {utf16File(std::wstring(400, L'n')), std::wstring(255, L'n'), "only the first 512 bytes"},
    };
    kv::test::TempDirectory temp;
    NamespaceResolver resolver;
    for (const auto& [bytes, expected, why] : rows) {
        writeFile(temp / L"namespace.txt", bytes);
        EXPECT_EQ(resolver.readNamespaceFile(temp.path()), expected) << why;
    }
}

TEST(NamespaceFile, SearchRunsFromTheStartDirectoryUpToTheStopDirectory) {
    kv::test::TempDirectory temp;
    std::filesystem::create_directories(temp / L"A\\B\\C");
    FakeResolver resolver;
    const std::wstring start = temp / L"A\\B\\C\\x.exe", stop = temp / L"A";

    EXPECT_EQ(resolver.findNamespace(start, stop), L"");
    EXPECT_EQ(resolver.filesRead,
              (std::vector<std::wstring>{temp / L"A\\B\\C", temp / L"A\\B", temp / L"A"}));

    writeFile(temp / L"A\\namespace.txt", utf16File(L"top"));
    EXPECT_EQ(resolver.findNamespace(start, stop), L"top");
    writeFile(temp / L"A\\B\\namespace.txt", utf16File(L"nearer"));
    EXPECT_EQ(resolver.findNamespace(start, stop), L"nearer");
    writeFile(temp / L"A\\B\\C\\namespace.txt", utf16File(L"inside"));
    EXPECT_EQ(resolver.findNamespace(temp / L"A\\B\\C", stop), L"nearer")
        << "the start path is never searched";
}

TEST(NamespaceResolution, LongestInstallPathWins) {
    FakeResolver resolver;
    resolver.installPaths = {{L"a", L"C:\\A\\"},
                             {L"b", L"C:\\A\\B\\"},
                             {L"c", L"C:\\Prod\\"},
                             {L"d", L"C:\\Z\\"},
                             {L"e", L"C:\\Z\\"}};
    EXPECT_EQ(resolver.namespaceForPath(L"C:\\A\\B\\bin\\x.exe"), L"b");
    EXPECT_EQ(resolver.namespaceForPath(L"c:\\a\\b\\X.EXE"), L"b") << "case does not matter";
    EXPECT_EQ(resolver.namespaceForPath(L"C:\\A\\x.exe"), L"a");
    EXPECT_EQ(resolver.namespaceForPath(L"C:\\A"), L"") << "shorter than every install path";
    EXPECT_EQ(resolver.namespaceForPath(L"C:\\Product\\x.exe"), L"") << "C:\\Prod does not claim C:\\Product";
    EXPECT_EQ(resolver.namespaceForPath(L"C:\\Z\\x.exe"), L"d") << "of equally long ones the first name wins";
}

TEST(NamespaceResolution, InstallPathsComeFromTheThirtyTwoBitView) {
    kv::test::RegistryTree tree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\NS");
    const auto setInstallPath = [&tree](const wchar_t* name, const std::wstring& path, REGSAM view) {
        ASSERT_TRUE(kv::test::writeValue(HKEY_LOCAL_MACHINE, tree.path() + L"\\" + name + L"\\Corelane",
                                         L"InstallPath", REG_SZ, kv::test::bytesOf(path + L'\0'), view));
    };
    setInstallPath(L"prod", L"C:\\Prod", KEY_WOW64_32KEY);
    setInstallPath(L"slash", L"C:\\Slash\\", KEY_WOW64_32KEY);
    setInstallPath(L"empty", L"", KEY_WOW64_32KEY);
    setInstallPath(L"native", L"C:\\Native", KEY_WOW64_64KEY);
    EXPECT_EQ(NamespaceResolver().getInstallPaths(),
              (std::map<std::wstring, std::wstring>{{L"prod", L"C:\\Prod\\"}, {L"slash", L"C:\\Slash\\"}}));
}

class ProgramFilesResolution : public testing::Test {
protected:
    kv::test::TempDirectory temp_;
    FakeResolver resolver_;

    void SetUp() override {
        std::filesystem::create_directories(temp_ / L"pf\\Korvane\\Wisp\\bin");
        std::filesystem::create_directories(temp_ / L"pf86\\Korvane\\Wisp\\bin");
        resolver_.programFiles = temp_ / L"pf";
        resolver_.programFilesX86 = temp_ / L"pf86\\";
    }
};

TEST_F(ProgramFilesResolution, FindsTheFileUpToTheFirstDirectoryBelowProgramFiles) {
    const std::wstring exe = temp_ / L"pf86\\Korvane\\Wisp\\bin\\install-wpu.exe";
    writeFile(temp_ / L"pf86\\namespace.txt", utf16File(L"never"));
    EXPECT_EQ(resolver_.namespaceForPath(exe), L"") << "the program files folder itself is never read";
    writeFile(temp_ / L"pf86\\Korvane\\namespace.txt", utf16File(L"acme"));
    EXPECT_EQ(resolver_.namespaceForPath(exe), L"acme");
    EXPECT_EQ(resolver_.namespaceForPath(temp_ / L"pf86\\Korvane\\x.exe"), L"acme");
    EXPECT_EQ(resolver_.namespaceForPath(temp_ / L"pf86\\x.exe"), L"") << "directly in program files";
    EXPECT_EQ(resolver_.namespaceForPath(temp_ / L"pf86x\\Korvane\\x.exe"), L"") << "a sibling folder";
}

TEST_F(ProgramFilesResolution, NativeProgramFilesAndInstallPathsComeFirst) {
    writeFile(temp_ / L"pf\\Korvane\\namespace.txt", utf16File(L"native"));
    EXPECT_EQ(resolver_.namespaceForPath(temp_ / L"pf\\Korvane\\Wisp\\bin\\x.exe"), L"native");
    resolver_.installPaths = {{L"registered", temp_ / L"pf\\Korvane\\"}};
    EXPECT_EQ(resolver_.namespaceForPath(temp_ / L"pf\\Korvane\\Wisp\\bin\\x.exe"), L"registered");
}

// What stood in the way of a namespace is kept, only while no namespace is found.
TEST_F(ProgramFilesResolution, WhatHidTheNamespaceIsKept) {
    const std::wstring bin = temp_ / L"pf86\\Korvane\\Wisp\\bin";
    const std::wstring exe = bin + L"\\x.exe";
    const std::wstring file = temp_ / L"pf86\\Korvane\\namespace.txt";
    EXPECT_EQ(resolver_.namespaceForPath(exe), L"");
    EXPECT_EQ(resolver_.problem(), L"") << "no namespace file anywhere is no problem";

    // No name, or names that cannot be key or directory names.
    const std::pair<std::string, std::wstring> rows[] = {
        {utf16File(L"acme", false), file + L" holds no UTF-16LE name after an FF FE mark"},
        {utf16File(L"a.b"), L"the name \"a.b\" of " + file + L" is refused"},
        {utf16File(L"a\\b"), L"the name \"a\\b\" of " + file + L" is refused"},
        {utf16File(L"a/b"), L"the name \"a/b\" of " + file + L" is refused"},
        {utf16File(L"ac\tme\r\n"), L"the name \"ac\\x09me\\x0D\\x0A\" of " + file + L" is refused"},
    };
    for (const auto& [bytes, problem] : rows) {
        writeFile(file, bytes);
        EXPECT_EQ(resolver_.namespaceForPath(exe), L"");
        EXPECT_EQ(resolver_.problem(), problem);
    }

    writeFile(file, utf16File(L"acme"));
    ASSERT_TRUE(CreateDirectoryW((bin + L"\\namespace.txt").c_str(), nullptr));
    EXPECT_EQ(resolver_.namespaceForPath(exe), L"acme") << "a readable file further up still counts";
    EXPECT_EQ(resolver_.problem(), L"");
    writeFile(file, utf16File(L"a.b"));
    EXPECT_EQ(resolver_.namespaceForPath(exe), L"");
    EXPECT_EQ(resolver_.problem().rfind(L"cannot open " + bin + L"\\namespace.txt, error = ", 0), 0u)
        << "the first problem met is kept: " << testing::PrintToString(resolver_.problem());

    resolver_.installPaths = {{L"x\ty", temp_ / L"pf86\\"}};
    EXPECT_EQ(resolver_.namespaceForPath(exe), L"");
    EXPECT_EQ(resolver_.problem(), L"the name \"x\\x09y\" of HKLM\\SOFTWARE\\Korvane\\NS is refused");
}

// The only test of this executable that uses the process-wide cache.
TEST(CurrentNamespace, AnEmptyAnswerIsRecomputedAndAFoundOneKept) {
    kv::test::RegistryTree tree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\NS");
    // Nobody may list or read the key (32-bit view), then everyone may do everything.
    setKeyDacl(HKEY_LOCAL_MACHINE, tree.path(), KEY_WOW64_32KEY, L"D:(D;;0x9;;;WD)(A;;KA;;;WD)");
    EXPECT_EQ(getCurrentNamespace(), L"");
    EXPECT_EQ(getCurrentNamespaceProblem(),
              L"cannot list the keys of HKLM\\SOFTWARE\\Korvane\\NS (32-bit view), error = 5");
    setKeyDacl(HKEY_LOCAL_MACHINE, tree.path(), KEY_WOW64_32KEY, L"D:(A;;KA;;;WD)");
    EXPECT_EQ(productNamespaceName(), L"wp_default");
    EXPECT_EQ(getCurrentNamespaceProblem(), L"");

    ASSERT_TRUE(kv::test::writeValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\NS\\cached\\Corelane",
                                     L"InstallPath", REG_SZ, kv::test::bytesOf(getModuleDirectory() + L'\0'),
                                     KEY_WOW64_32KEY));
    EXPECT_EQ(getCurrentNamespace(), L"cached");
    EXPECT_EQ(productNamespaceName(), L"wp_cached");

    tree.clear();
    EXPECT_EQ(getCurrentNamespace(), L"cached") << "a found name is never recomputed";
}

} // namespace
