#include <windows.h>

#include "LogTestSupport.h"
#include "logging/FileSystem.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

using namespace KvZarnLogging;
using logtest::readBytes;
using logtest::writeBytes;

namespace {

TEST(Path, DeleteAnswersTrueWhenGoneOrScheduledForReboot) {
    kv::test::TempDirectory dir;
    FileSystem::Path paths;
    EXPECT_TRUE(paths.deleteFile(dir / L"missing"));
    EXPECT_TRUE(paths.deleteFile(dir / L"no\\such\\dir"));
    writeBytes(dir / L"held", "x");
    kv::UniqueFile holder(CreateFileW((dir / L"held").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(paths.deleteFile(dir / L"held"));
    std::vector<wchar_t> pending(65536);
    DWORD size = static_cast<DWORD>(pending.size() * sizeof(wchar_t));
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                           L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ, nullptr, pending.data(),
                           &size),
              ERROR_SUCCESS);
    EXPECT_NE(std::wstring(pending.data(), size / sizeof(wchar_t)).find(dir / L"held"), std::wstring::npos);
}

TEST(Path, CreatesTheChainBelowTheRootOnly) {
    kv::test::TempDirectory dir;
    FileSystem::Path paths;
    CreateDirectoryW((dir / L"Korvane").c_str(), nullptr);
    writeBytes(dir / L"Korvane\\keep", "k");
    EXPECT_TRUE(paths.createDirectories(dir / L"Korvane\\Log\\Wisp", dir.path().size() + 1, nullptr));
    EXPECT_TRUE(logtest::exists(dir / L"Korvane\\Log\\Wisp"));
    EXPECT_EQ(readBytes(dir / L"Korvane\\keep"), "k") << "an existing directory is left as it is";
    const std::wstring missingRoot = dir / L"missing";
    EXPECT_FALSE(paths.createDirectories(missingRoot + L"\\Korvane", missingRoot.size() + 1, nullptr));
    EXPECT_FALSE(logtest::exists(missingRoot));
}

// A file system in which some names are junctions; every step is recorded.
class ScriptedPath : public FileSystem::Path {
public:
    std::map<std::wstring, DWORD> entries;
    bool linkRemovable = true;
    // What a concurrent process makes at a name just before our create fails there.
    std::map<std::wstring, DWORD> madeByPeer;
    std::vector<std::wstring> steps;

protected:
    DWORD attributes(const std::wstring& path) override {
        const auto found = entries.find(path);
        return found == entries.end() ? INVALID_FILE_ATTRIBUTES : found->second;
    }
    bool removeLink(const std::wstring& path) override {
        steps.push_back(L"remove " + path);
        return linkRemovable;
    }
    bool createDirectory(const std::wstring& path, SECURITY_ATTRIBUTES* attributes) override {
        steps.push_back(L"create " + path + (attributes ? L" secured" : L""));
        const auto peer = madeByPeer.find(path);
        if (peer == madeByPeer.end()) {
            return true;
        }
        entries[path] = peer->second;
        SetLastError(ERROR_ALREADY_EXISTS);
        return false;
    }
};

TEST(Path, ADirectoryAnotherProcessMadeMeanwhileWillDoButALinkWillNot) {
    ScriptedPath paths;
    paths.entries = {{L"R:\\Korvane", FILE_ATTRIBUTE_DIRECTORY}};
    paths.madeByPeer = {{L"R:\\Korvane\\Log", FILE_ATTRIBUTE_DIRECTORY}};
    EXPECT_TRUE(paths.createDirectories(L"R:\\Korvane\\Log\\Wisp", 3, nullptr));
    EXPECT_EQ(paths.steps,
              (std::vector<std::wstring>{L"create R:\\Korvane\\Log", L"create R:\\Korvane\\Log\\Wisp"}));

    ScriptedPath linked;
    linked.entries = {{L"R:\\Korvane", FILE_ATTRIBUTE_DIRECTORY}};
    linked.madeByPeer = {{L"R:\\Korvane\\Log", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT}};
    EXPECT_FALSE(linked.createDirectories(L"R:\\Korvane\\Log\\Wisp", 3, nullptr));
    EXPECT_EQ(linked.steps, std::vector<std::wstring>{L"create R:\\Korvane\\Log"});
}

TEST(Path, AJunctionInTheChainIsReplacedByARealDirectory) {
    SECURITY_ATTRIBUTES security = {sizeof(security), nullptr, FALSE};
    for (const bool removable : {true, false}) {
        ScriptedPath paths;
        paths.entries = {{L"R:\\Korvane", FILE_ATTRIBUTE_DIRECTORY},
                         {L"R:\\Korvane\\Log", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT}};
        paths.linkRemovable = removable;
        EXPECT_EQ(paths.createDirectories(L"R:\\Korvane\\Log\\Wisp", 3, &security), removable);
        std::vector<std::wstring> expected = {L"remove R:\\Korvane\\Log"};
        if (removable) {
            expected.push_back(L"create R:\\Korvane\\Log secured");
            expected.push_back(L"create R:\\Korvane\\Log\\Wisp secured");
        }
        EXPECT_EQ(paths.steps, expected);
    }
}

// A directory symbolic link made on the Linux side shows as a reparse point,
// but Wine opens its target even when asked for the link itself: removing it
// would delete the target. The chain is refused and the target stays as it was.
TEST(Path, ALinkThatCannotBeRemovedItselfIsNeverFollowed) {
    kv::test::TempDirectory dir;
    for (const std::string& content : {std::string(), std::string("k")}) {
        const std::wstring name = content.empty() ? L"empty" : L"full";
        const std::wstring target = dir / (name + L"-target");
        const std::wstring root = dir / name;
        CreateDirectoryW(target.c_str(), nullptr);
        if (!content.empty()) {
            writeBytes(target + L"\\keep", content);
        }
        CreateDirectoryW(root.c_str(), nullptr);
        CreateDirectoryW((root + L"\\Korvane").c_str(), nullptr);
        ASSERT_TRUE(logtest::makeDirectorySymlink(target, root + L"\\Korvane\\Log"));

        FileSystem::Path paths;
        EXPECT_FALSE(paths.createDirectories(root + L"\\Korvane\\Log\\Wisp", root.size() + 1, nullptr));
        EXPECT_TRUE(logtest::exists(target));
        EXPECT_FALSE(logtest::exists(target + L"\\Wisp"));
        EXPECT_EQ(readBytes(target + L"\\keep"), content);
        EXPECT_TRUE(logtest::removeSymlink(root + L"\\Korvane\\Log"));
    }
}

} // namespace
