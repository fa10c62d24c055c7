#include <windows.h>
#include <sddl.h>

#include "LogTestSupport.h"
#include "logging/FileSystem.h"
#include "logging/Security.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

using namespace KvZarnLogging;
using logtest::readBytes;
using logtest::writeBytes;

namespace {

TEST(File, RefusesAHardLinkedFileAndLeavesItAlone) {
    kv::test::TempDirectory dir;
    writeBytes(dir / L"other.txt", "precious");
    ASSERT_TRUE(CreateHardLinkW((dir / L"B.log").c_str(), (dir / L"other.txt").c_str(), nullptr));
    FileSystem::File file;
    EXPECT_FALSE(file.open(dir / L"B.log", nullptr));
    EXPECT_FALSE(file.isOpen());
    EXPECT_FALSE(file.write("x", 1));
    EXPECT_EQ(readBytes(dir / L"other.txt"), "precious");
}

TEST(File, RecognisesTheUtf16ByteOrderMark) {
    kv::test::TempDirectory dir;
    const std::pair<std::string, bool> rows[] = {{std::string("\xFF\xFE"
                                                              "a\0",
                                                              4),
                                                  false},
                                                 {"\xFF", true},
                                                 {"\xFE\xFF", true},
                                                 {"", true},
                                                 {"ab", true}};
    for (const auto& [content, narrow] : rows) {
        writeBytes(dir / L"t.log", content);
        FileSystem::File file;
        ASSERT_TRUE(file.open(dir / L"t.log", nullptr));
        EXPECT_EQ(file.isNarrowText(), narrow) << content.size();
    }
}

TEST(File, SizeMovesToTheEndSoWritesAppend) {
    kv::test::TempDirectory dir;
    writeBytes(dir / L"t.log", "line one\r\n");
    FileSystem::File file;
    ASSERT_TRUE(file.open(dir / L"t.log", nullptr));
    EXPECT_EQ(file.size(), 10u);
    EXPECT_TRUE(file.write("two\r\n", 5));
    EXPECT_TRUE(file.flush());
    file.close();
    EXPECT_EQ(readBytes(dir / L"t.log"), "line one\r\ntwo\r\n");

    // Closed, everything answers nothing.
    EXPECT_EQ(file.size(), 0u);
    EXPECT_FALSE(file.flush());
    EXPECT_FALSE(file.validate());
    EXPECT_FALSE(file.isNarrowText());
}

TEST(Path, FileExistsMoveAndDelete) {
    kv::test::TempDirectory dir;
    FileSystem::Path paths;
    writeBytes(dir / L"a", "a");
    writeBytes(dir / L"b", "b");
    EXPECT_TRUE(paths.fileExists(dir / L"a"));
    EXPECT_FALSE(paths.fileExists(dir.path()));
    EXPECT_FALSE(paths.fileExists(dir / L"missing"));

    EXPECT_TRUE(paths.moveFile(dir / L"a", dir / L"b"));
    EXPECT_EQ(readBytes(dir / L"b"), "a");

    EXPECT_TRUE(paths.deleteFile(dir / L"b"));
    EXPECT_FALSE(logtest::fileExists(dir / L"b"));
    EXPECT_TRUE(paths.deleteFile(dir / L"missing"));
    EXPECT_TRUE(paths.deleteFile(dir / L"no\\such\\dir"));
}

TEST(Path, AFileThatCannotBeDeletedNowGoesAtTheNextReboot) {
    kv::test::TempDirectory dir;
    writeBytes(dir / L"held", "x");
    kv::UniqueFile holder(CreateFileW((dir / L"held").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder.valid());
    FileSystem::Path paths;
    EXPECT_TRUE(paths.deleteFile(dir / L"held"));

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                            KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    std::vector<wchar_t> pending(65536);
    DWORD size = static_cast<DWORD>(pending.size() * sizeof(wchar_t));
    const LONG status = RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr,
                                         reinterpret_cast<BYTE*>(pending.data()), &size);
    RegCloseKey(key);
    ASSERT_EQ(status, ERROR_SUCCESS);
    const std::wstring operations(pending.data(), size / sizeof(wchar_t));
    EXPECT_NE(operations.find(dir / L"held"), std::wstring::npos);
}

TEST(Path, CreatesTheChainBelowTheStartAndLeavesExistingDirectories) {
    kv::test::TempDirectory dir;
    FileSystem::Path paths;
    CreateDirectoryW((dir / L"Korvane").c_str(), nullptr);
    writeBytes(dir / L"Korvane\\keep", "k");
    const std::wstring chain = dir / L"Korvane\\Log\\Wisp";
    EXPECT_TRUE(paths.createDirectories(chain, dir.path().size() + 1, nullptr));
    EXPECT_TRUE(logtest::directoryExists(chain));
    EXPECT_EQ(readBytes(dir / L"Korvane\\keep"), "k");
    EXPECT_TRUE(paths.createDirectories(chain, dir.path().size() + 1, nullptr));

    // The root itself is never created.
    const std::wstring missingRoot = dir / L"missing";
    EXPECT_FALSE(paths.createDirectories(missingRoot + L"\\Korvane\\Log", missingRoot.size() + 1, nullptr));
    EXPECT_FALSE(logtest::directoryExists(missingRoot));
}

// Plays a file system where some names are junctions, recording every step.
class ScriptedPath : public FileSystem::Path {
public:
    std::map<std::wstring, DWORD> entries;
    bool linkRemovable = true;
    std::vector<std::wstring> steps;
    std::vector<SECURITY_ATTRIBUTES*> securityPassed;

protected:
    DWORD attributes(const std::wstring& path) override {
        const auto found = entries.find(path);
        return found == entries.end() ? INVALID_FILE_ATTRIBUTES : found->second;
    }
    bool removeLink(const std::wstring& path) override {
        steps.push_back(L"remove " + path);
        if (linkRemovable) {
            entries.erase(path);
        }
        return linkRemovable;
    }
    bool createDirectory(const std::wstring& path, SECURITY_ATTRIBUTES* attributes) override {
        steps.push_back(L"create " + path);
        securityPassed.push_back(attributes);
        entries[path] = FILE_ATTRIBUTE_DIRECTORY;
        return true;
    }
};

TEST(Path, AJunctionInTheChainIsReplacedByARealDirectory) {
    ScriptedPath paths;
    paths.entries = {{L"R:\\Korvane", FILE_ATTRIBUTE_DIRECTORY},
                     {L"R:\\Korvane\\Log", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT}};
    SecurityAttributes security(InheritableLogAcl);
    EXPECT_TRUE(paths.createDirectories(L"R:\\Korvane\\Log\\Wisp", 3, security.get()));
    const std::vector<std::wstring> expected = {L"remove R:\\Korvane\\Log", L"create R:\\Korvane\\Log",
                                                L"create R:\\Korvane\\Log\\Wisp"};
    EXPECT_EQ(paths.steps, expected);
    for (SECURITY_ATTRIBUTES* passed : paths.securityPassed) {
        EXPECT_EQ(passed, security.get());
    }

    ScriptedPath stuck;
    stuck.entries = paths.entries;
    stuck.entries[L"R:\\Korvane\\Log"] = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    stuck.linkRemovable = false;
    EXPECT_FALSE(stuck.createDirectories(L"R:\\Korvane\\Log\\Wisp", 3, nullptr));
    EXPECT_EQ(stuck.steps, std::vector<std::wstring>{L"remove R:\\Korvane\\Log"});
}

// A directory symbolic link made on the Linux side shows as a reparse point.
// Wine opens its target even when asked for the link itself, so removing it
// would delete the target: the chain is refused and the target stays as it was.
TEST(Path, ALinkThatCannotBeRemovedItselfIsNeverFollowed) {
    kv::test::TempDirectory dir;
    for (const bool targetEmpty : {true, false}) {
        const std::wstring target = dir / (targetEmpty ? L"empty-target" : L"full-target");
        CreateDirectoryW(target.c_str(), nullptr);
        if (!targetEmpty) {
            writeBytes(target + L"\\keep", "k");
        }
        const std::wstring root = dir / (targetEmpty ? L"root1" : L"root2");
        CreateDirectoryW(root.c_str(), nullptr);
        CreateDirectoryW((root + L"\\Korvane").c_str(), nullptr);
        ASSERT_TRUE(logtest::makeDirectorySymlink(target, root + L"\\Korvane\\Log"));

        FileSystem::Path paths;
        EXPECT_FALSE(paths.createDirectories(root + L"\\Korvane\\Log\\Wisp", root.size() + 1, nullptr));
        EXPECT_TRUE(logtest::directoryExists(target));
        EXPECT_FALSE(logtest::directoryExists(target + L"\\Wisp"));
        if (!targetEmpty) {
            EXPECT_EQ(readBytes(target + L"\\keep"), "k");
        }
        EXPECT_TRUE(logtest::removeSymlink(root + L"\\Korvane\\Log"));
    }
}

} // namespace
