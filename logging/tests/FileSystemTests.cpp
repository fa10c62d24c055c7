#include <windows.h>

#include "LogTestSupport.h"
#include "logging/FileSystem.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

using namespace KvZarnLogging;
using logtest::exists;
using logtest::readFile;
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
    const auto pending =
        kv::test::readValue(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                            L"PendingFileRenameOperations");
    ASSERT_TRUE(pending.has_value());
    const std::wstring names(reinterpret_cast<const wchar_t*>(pending->second.data()),
                             pending->second.size() / sizeof(wchar_t));
    EXPECT_NE(names.find(dir / L"held"), std::wstring::npos);
}

TEST(Path, CreatesTheChainBelowTheRootOnly) {
    kv::test::TempDirectory dir;
    FileSystem::Path paths;
    CreateDirectoryW((dir / L"Korvane").c_str(), nullptr);
    writeBytes(dir / L"Korvane\\keep", "k");
    EXPECT_TRUE(paths.createDirectories(dir / L"Korvane\\Log\\Wisp", dir.path().size() + 1, nullptr));
    EXPECT_TRUE(exists(dir / L"Korvane\\Log\\Wisp"));
    EXPECT_EQ(readFile(dir / L"Korvane\\keep"), "k") << "an existing directory is left as it is";
    const std::wstring missingRoot = dir / L"missing";
    EXPECT_FALSE(paths.createDirectories(missingRoot + L"\\Korvane", missingRoot.size() + 1, nullptr));
    EXPECT_FALSE(exists(missingRoot));
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

// A junction in the chain is replaced by a real directory, or refuses the chain
// when it cannot be removed; a directory a peer made meanwhile will do, a link will not.
TEST(Path, JunctionsAndPeersInTheChain) {
    constexpr DWORD Dir = FILE_ATTRIBUTE_DIRECTORY,
                    Link = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    struct Row {
        const char* why;
        DWORD existing, byPeer;
        bool removable, result;
        std::vector<std::wstring> steps;
    };
    const std::wstring log = L"R:\\Korvane\\Log", wisp = L" R:\\Korvane\\Log\\Wisp secured";
    const Row rows[] = {
        {"junction removed",
         Link,
         0,
         true,
         true,
         {L"remove " + log, L"create " + log + L" secured", L"create" + wisp}},
        {"junction stays", Link, 0, false, false, {L"remove " + log}},
        {"peer made a directory", 0, Dir, true, true, {L"create " + log + L" secured", L"create" + wisp}},
        {"peer made a link", 0, Link, true, false, {L"create " + log + L" secured"}},
    };
    SECURITY_ATTRIBUTES security = {sizeof(security), nullptr, FALSE};
    for (const Row& row : rows) {
        ScriptedPath paths;
        paths.entries = {{L"R:\\Korvane", Dir}};
        if (row.existing) {
            paths.entries[log] = row.existing;
        }
        if (row.byPeer) {
            paths.madeByPeer[log] = row.byPeer;
        }
        paths.linkRemovable = row.removable;
        EXPECT_EQ(paths.createDirectories(log + L"\\Wisp", 3, &security), row.result) << row.why;
        EXPECT_EQ(paths.steps, row.steps) << row.why;
    }
}

// A directory symbolic link made on the Linux side shows as a reparse point,
// but Wine opens its target even when asked for the link itself: removing it
// would delete the target. The chain is refused and the target stays as it was.
TEST(Path, ALinkThatCannotBeRemovedItselfIsNeverFollowed) {
    kv::test::TempDirectory dir;
    for (const std::string& content : {std::string(), std::string("k")}) {
        const std::wstring name = content.empty() ? L"empty" : L"full";
        const std::wstring target = dir / (name + L"-target"), root = dir / name;
        CreateDirectoryW(target.c_str(), nullptr);
        if (!content.empty()) {
            writeBytes(target + L"\\keep", content);
        }
        CreateDirectoryW(root.c_str(), nullptr);
        CreateDirectoryW((root + L"\\Korvane").c_str(), nullptr);
        ASSERT_TRUE(logtest::makeDirectorySymlink(target, root + L"\\Korvane\\Log"));

        FileSystem::Path paths;
        EXPECT_FALSE(paths.createDirectories(root + L"\\Korvane\\Log\\Wisp", root.size() + 1, nullptr));
        EXPECT_TRUE(exists(target));
        EXPECT_FALSE(exists(target + L"\\Wisp"));
        EXPECT_EQ(readFile(target + L"\\keep"), content);
        EXPECT_TRUE(logtest::removeSymlink(root + L"\\Korvane\\Log"));
    }
}

} // namespace
