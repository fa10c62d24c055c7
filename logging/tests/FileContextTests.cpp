#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "LogTestSupport.h"
#include "logging/FileContext.h"
#include "logging/FileSystem.h"
#include "logging/Log.h"
#include "logging/Security.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace KvZarnLogging;
using namespace logtest;

namespace {

std::string sddl(PSECURITY_DESCRIPTOR descriptor, SECURITY_INFORMATION parts = DACL_SECURITY_INFORMATION) {
    char* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, parts, &text, nullptr);
    const std::string result = text ? text : "(unreadable)";
    LocalFree(text);
    return result;
}

// SDDL text as the platform writes it back (the order of generic rights varies).
std::string normal(const std::string& text, SECURITY_INFORMATION parts = DACL_SECURITY_INFORMATION) {
    return sddl(SecurityAttributes(text.c_str()).descriptor(), parts);
}

std::string sddl(SECURITY_ATTRIBUTES* attributes) {
    return attributes == nullptr ? "-"
           : attributes->nLength != sizeof(SECURITY_ATTRIBUTES) || attributes->bInheritHandle
               ? "(malformed)"
               : sddl(attributes->lpSecurityDescriptor);
}

// What a probing file system saw (the security of each directory chain and file as SDDL, "-" for none; the
// directories given an owner and DACL, and how many were when the first file was opened), and the faults it
// plays: the write numbered failAt keeps only its first `kept` bytes, cutting the file back may fail, and the
// first move from a name containing refusedMoveFrom fails.
struct Probe {
    std::vector<std::string> chains, files, secured;
    size_t securedAtFirstFile = 0;
    int failAt = -1, writes = 0;
    DWORD kept = 0;
    bool truncateFails = false;
    std::wstring refusedMoveFrom;
};

class ProbeFile : public FileSystem::File {
public:
    explicit ProbeFile(Probe& probe) : probe_(probe) {}
    bool open(const std::wstring& path, SECURITY_ATTRIBUTES* attributes) override {
        if (probe_.files.empty()) {
            probe_.securedAtFirstFile = probe_.secured.size();
        }
        probe_.files.push_back(sddl(attributes));
        return File::open(path, attributes);
    }
    bool write(const void* bytes, DWORD count) override {
        if (probe_.writes++ != probe_.failAt) {
            return File::write(bytes, count);
        }
        File::write(bytes, probe_.kept);
        return false;
    }
    bool truncate(unsigned long long size) override { return !probe_.truncateFails && File::truncate(size); }

private:
    Probe& probe_;
};

class ProbePath : public FileSystem::Path {
public:
    explicit ProbePath(Probe& probe) : probe_(probe) {}
    std::unique_ptr<FileSystem::File> createFile() override { return std::make_unique<ProbeFile>(probe_); }
    bool createDirectories(const std::wstring& path, size_t start, SECURITY_ATTRIBUTES* attributes) override {
        probe_.chains.push_back(sddl(attributes));
        return Path::createDirectories(path, start, attributes);
    }
    bool secureDirectory(const std::wstring& path, PSECURITY_DESCRIPTOR descriptor) override {
        const std::wstring name = path.substr(path.find(L"Korvane"));
        probe_.secured.push_back(std::string(name.begin(), name.end()) + ": " +
                                 sddl(descriptor, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION));
        return Path::secureDirectory(path, descriptor);
    }
    bool moveFile(const std::wstring& from, const std::wstring& to) override {
        if (!probe_.refusedMoveFrom.empty() && from.find(probe_.refusedMoveFrom) != std::wstring::npos) {
            probe_.refusedMoveFrom.clear();
            return false;
        }
        return Path::moveFile(from, to);
    }

private:
    Probe& probe_;
};

bool acquirableFromAnotherThread(HANDLE mutex) {
    DWORD result = WAIT_FAILED;
    std::thread([&] {
        result = WaitForSingleObject(mutex, 0);
        ReleaseMutex(mutex);
    }).join();
    return result == WAIT_OBJECT_0;
}

constexpr DWORD Dir = FILE_ATTRIBUTE_DIRECTORY,
                Link = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;

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
    const std::wstring log = L"R:\\Korvane\\Log", wisp = L" R:\\Korvane\\Log\\Wisp secured";
    // clang-format off
    const struct { const char* why; std::map<std::wstring, DWORD> existing, byPeer; bool removable, result; std::vector<std::wstring> steps; } rows[] = {
        {"junction removed", {{log, Link}}, {}, true, true, {L"remove " + log, L"create " + log + L" secured", L"create" + wisp}},
        {"junction stays", {{log, Link}}, {}, false, false, {L"remove " + log}},
        {"peer made a directory", {}, {{log, Dir}}, true, true, {L"create " + log + L" secured", L"create" + wisp}},
        {"peer made a link", {}, {{log, Link}}, true, false, {L"create " + log + L" secured"}},
    };
    // clang-format on
    SECURITY_ATTRIBUTES security = {sizeof(security), nullptr, FALSE};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        ScriptedPath paths;
        paths.entries = row.existing;
        paths.entries[L"R:\\Korvane"] = Dir;
        paths.madeByPeer = row.byPeer;
        paths.linkRemovable = row.removable;
        EXPECT_EQ(paths.createDirectories(log + L"\\Wisp", 3, &security), row.result);
        EXPECT_EQ(paths.steps, row.steps);
    }
}

class FileContextTest : public ::testing::Test {
protected:
    void SetUp() override { settings.setRoot(root.path()); }
    std::unique_ptr<FileContext> make(unsigned flags = 0, const std::wstring& nameSpace = L"") {
        return std::make_unique<FileContext>(std::make_unique<ProbePath>(probe), nameSpace, L"Wisp",
                                             L"install-x", Info, flags);
    }
    std::wstring current() const { return backup(0); }
    std::wstring backup(int n) const {
        return root / (L"Korvane\\Log\\Wisp\\install-x." + (n ? std::to_wstring(n) + L".log" : L"log"));
    }
    void removeLogs() {
        for (int n = 0; n <= 2; ++n) {
            DeleteFileW(backup(n).c_str());
        }
    }

    kv::test::TempDirectory root;
    LoggingSettings settings;
    Probe probe;
};

TEST_F(FileContextTest, LayoutFollowsTheNamespaceAndTheFileComesWithTheFirstLine) {
    const std::pair<const wchar_t*, const wchar_t*> rows[] = {
        {L"", L"\\Korvane\\Log\\Wisp"},
        {L"default", L"\\Korvane\\Log\\Wisp"},
        {L"wp_default", L"\\Korvane\\Log\\Wisp"},
        {L"mvx_default", L"\\Korvane\\Log\\Wisp"},
        {L"Default", L"\\Korvane\\NS\\Default\\Log\\Wisp"},
        {L"wp_blue", L"\\Korvane\\NS\\wp_blue\\Log\\Wisp"}};
    for (const auto& [nameSpace, directory] : rows) {
        auto context = make(0, nameSpace);
        ASSERT_TRUE(context->open()) << nameSpace;
        const std::wstring base = root.path() + directory + L"\\install-x";
        EXPECT_EQ(context->basePath(), base);
        EXPECT_FALSE(context->open()) << "only the first open sets up";
        EXPECT_FALSE(exists(base + L".log"));
        context->write("x\r\n", 3);
        EXPECT_EQ(readFile(base + L".log"), "x\r\n");
        DeleteFileW((base + L".log").c_str());
    }
}

TEST(FileContextNames, EveryProcessOfOneFileSharesOneMutexName) {
    FileContext context(std::make_unique<ScriptedPath>(), L"", L"Wisp", L"install-x", Info, 0);
    ASSERT_TRUE(context.buildPath(L"C:\\ProgramData", false));
    EXPECT_EQ(context.mutexName(false), L"Global\\KvZarnLogging_C:_ProgramData_Korvane_Log_Wisp_install-x");
}

// Directories already there (as a peer or an attacker may leave them) are taken over.
TEST_F(FileContextTest, AdministratorGetsTheAclAndTheGuardedMutex) {
    ASSERT_TRUE(
        FileSystem::Path().createDirectories(root / L"Korvane\\Log\\Wisp", root.path().size() + 1, nullptr));
    const std::string acl = "D:(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GRGX;;;AU)";
    auto context = make();
    ASSERT_TRUE(context->open());
    context->write("line\r\n", 6);
    // Made at the first open, looked at again before the file is opened.
    EXPECT_THAT(probe.chains, ::testing::AllOf(::testing::SizeIs(2), ::testing::Each(normal(acl))));
    EXPECT_EQ(probe.files, std::vector<std::string>{normal(acl)});
    const std::string owned = normal("O:BA" + acl, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
    EXPECT_EQ(probe.secured, (std::vector<std::string>{"Korvane: " + owned, "Korvane\\Log: " + owned,
                                                       "Korvane\\Log\\Wisp: " + owned}));
    EXPECT_EQ(probe.securedAtFirstFile, 3u);

    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(context->mutex(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              nullptr, nullptr, &descriptor),
              ERROR_SUCCESS);
    // Windows shows the generic rights mapped, Wine as given.
    EXPECT_THAT(sddl(descriptor),
                ::testing::AnyOf("D:(A;;GA;;;SY)(A;;GA;;;BA)", "D:(A;;0x1f0001;;;SY)(A;;0x1f0001;;;BA)"));
    LocalFree(descriptor);
}

TEST_F(FileContextTest, StandardUserLogsBelowTheUserRootWithDefaultSecurity) {
    kv::test::TempDirectory userRoot;
    settings.setRoot(userRoot.path(), HKEY_CURRENT_USER);
    auto context = make(AppendUserSid | RestrictedAcl);
    kv::UniqueHandle process; // with BUILTIN\Administrators made deny-only
    OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, process.put());
    const kv::UniqueHandle user = kv::test::withoutAdministrators(process.get());
    ASSERT_TRUE(ImpersonateLoggedOnUser(user.get()));
    const bool opened = context->open();
    RevertToSelf();
    ASSERT_TRUE(opened);
    EXPECT_FALSE(context->isAdmin());
    EXPECT_EQ(context->basePath(), userRoot.path() + L"\\Korvane\\Log\\Wisp\\install-x") << "no SID";
    context->write("line\r\n", 6);
    EXPECT_THAT(probe.chains, ::testing::AllOf(::testing::SizeIs(2), ::testing::Each("-")));
    EXPECT_EQ(probe.files, std::vector<std::string>{"-"});
    EXPECT_TRUE(probe.secured.empty()) << "a user's own directories are left as they are";
    EXPECT_EQ(readFile(context->fileName(0)), "line\r\n");
}

// Two writers of one file, each with a context of its own as in two processes, rotate it
// between them at the first line over the limit: every line stays whole and in its writer's
// order and no fourth file appears. With room for every line, none is lost.
TEST_F(FileContextTest, TwoWritersShareOneRotatingFile) {
    constexpr int Lines = 1500; // of 10 bytes: 30000 in all
    // The limit in KB, the sizes of the current file and of each backup.
    const std::tuple<DWORD, size_t, size_t> rows[] = {{4096, 30000, 0}, {2, 30000 % 2050, 2050}};
    for (const auto& [limitKb, currentSize, backupSize] : rows) {
        settings.setDword(L"", L"LogMaxSizeKB", limitKb);
        unsigned long long dropped[2] = {};
        const auto write = [&](int id) {
            FileContext context(std::make_unique<FileSystem::Path>(), L"", L"Wisp", L"install-x", Info, 0);
            context.open();
            for (int i = 0; i < Lines; ++i) {
                const std::string line = std::to_string(id) + " " + std::to_string(100000 + i) + "\r\n";
                context.write(line.data(), line.size());
            }
            dropped[id] = context.droppedLines();
        };
        std::thread one(write, 0), two(write, 1);
        one.join();
        two.join();
        EXPECT_EQ(dropped[0] + dropped[1], 0u);
        std::vector<int> numbers[2];
        for (int n = 2; n >= 0; --n) {
            const std::string bytes = readFile(backup(n));
            EXPECT_EQ(bytes.size(), n == 0 ? currentSize : backupSize) << n;
            EXPECT_TRUE(splitLines(bytes).whole);
            for (const std::string& line : splitLines(bytes).lines) {
                numbers[line[0] - '0'].push_back(std::stoi(line.substr(2)));
            }
        }
        EXPECT_FALSE(exists(backup(3)));
        for (const std::vector<int>& seen : numbers) {
            EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
            EXPECT_EQ(seen.size() == size_t{Lines}, backupSize == 0);
        }
        removeLogs();
    }
}

// What the first line does with a file already at the current name. One that can be used no longer (full,
// UTF-16, hard-linked) becomes backup 1, the backups shifting. One that cannot be opened (held without write
// sharing, a directory) costs no backup and the line is counted dropped. A rotation step that fails (a viewer
// without delete sharing, a refused move) puts every file back and the line is appended, unless the file is
// UTF-16: then it is dropped. No temporary name is left behind.
TEST_F(FileContextTest, TheFirstLineAndTheFileAlreadyThere) {
    enum Kind { Plain, HardLinked, Directory, HeldForReading, Viewed };
    const std::string full(51200, 'a'), utf16("\xFF\xFE\x61\0\r\0\n\0", 8);
    // clang-format off
    const struct { const char* why; Kind kind; std::string content; std::wstring refusedMove; bool rotated; unsigned dropped; } rows[] = {
        {"full", Plain, full, L"", true, 0},
        {"UTF-16", Plain, utf16, L"", true, 0},
        {"hard-linked", HardLinked, "precious", L"", true, 0},
        {"held without write sharing", HeldForReading, "held", L"", false, 1},
        {"a directory", Directory, "", L"", false, 1},
        {"viewed without delete sharing", Viewed, full, L"", false, 0},
        {"UTF-16, viewed without delete sharing", Viewed, utf16, L"", false, 1},
        {"backup 1 cannot move", Plain, full, L".1.log", false, 0},
        {"the set-aside file cannot move", Plain, full, L"__rotate_", false, 0},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        probe.refusedMoveFrom = row.refusedMove;
        auto context = make();
        ASSERT_TRUE(context->open());
        writeBytes(backup(1), "first backup");
        writeBytes(backup(2), "second backup");
        if (row.kind == Directory) {
            ASSERT_TRUE(CreateDirectoryW(current().c_str(), nullptr));
        } else {
            writeBytes(current(), row.content);
        }
        if (row.kind == HardLinked) {
            ASSERT_TRUE(CreateHardLinkW((root / L"elsewhere").c_str(), current().c_str(), nullptr));
        }
        kv::UniqueFile holder;
        if (row.kind == HeldForReading || row.kind == Viewed) {
            const DWORD sharing = FILE_SHARE_READ | (row.kind == Viewed ? FILE_SHARE_WRITE : 0);
            holder.reset(
                CreateFileW(current().c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(holder.valid());
        }
        context->write("new\r\n", 5);
        EXPECT_EQ(context->droppedLines(), row.dropped);
        holder.reset();
        context.reset();
        const std::string kept = row.dropped ? row.content : row.content + "new\r\n";
        EXPECT_EQ(readFile(current()), row.rotated ? "new\r\n" : kept);
        EXPECT_EQ(readFile(backup(1)), row.rotated ? row.content : "first backup");
        EXPECT_EQ(readFile(backup(2)), row.rotated ? "first backup" : "second backup");
        EXPECT_EQ(filesIn(root / L"Korvane\\Log\\Wisp").size(), 3u);
        removeLogs();
        RemoveDirectoryW(current().c_str());
    }
}

// The component directory swapped for a link while the log is open: the next open (here for a rotation) finds
// the link and writes, moves and deletes nothing there; the lines are counted dropped.
TEST_F(FileContextTest, ADirectorySwappedForALinkAfterTheFirstLineIsNeverFollowed) {
    settings.setDword(L"", L"LogMaxSizeKB", 1);
    auto context = make();
    ASSERT_TRUE(context->open());
    const std::wstring wisp = root / L"Korvane\\Log\\Wisp", target = root / L"elsewhere";
    const std::string full(1024, 'a');
    context->write(full.data(), full.size());
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    writeBytes(target + L"\\install-x.log", "theirs");
    ASSERT_TRUE(MoveFileW(wisp.c_str(), (wisp + L"-old").c_str()));
    ASSERT_TRUE(runLinuxTool("ln -s", target, wisp, [](const std::wstring& path) {
        return (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && exists(path);
    })) << "a directory symbolic link";
    context->write("next\r\n", 6);
    context->write("last\r\n", 6);
    EXPECT_EQ(context->droppedLines(), 2u);
    EXPECT_EQ(filesIn(target), std::vector<std::wstring>{L"install-x.log"});
    EXPECT_EQ(readFile(target + L"\\install-x.log"), "theirs");
    EXPECT_EQ(readFile(wisp + L"-old\\install-x.log"), full);
    context.reset();
    EXPECT_TRUE(runLinuxTool("rm -f", L"", wisp, [](const std::wstring& path) { return !exists(path); }));
}

// A disk that fills up mid-line: the torn line is cut off and counted; when even
// that fails, the next line still begins on a line of its own.
TEST_F(FileContextTest, AShortWriteLeavesOnlyWholeLinesAndIsCounted) {
    const std::tuple<DWORD, bool, std::string> rows[] = {
        {3, false, "one\r\nthree\r\n"}, {0, false, "one\r\nthree\r\n"}, {3, true, "one\r\ntwo\r\nthree\r\n"}};
    for (const auto& [kept, truncateFails, expected] : rows) {
        probe = Probe();
        probe.failAt = 1;
        probe.kept = kept;
        probe.truncateFails = truncateFails;
        auto context = make();
        ASSERT_TRUE(context->open());
        for (const char* line : {"one\r\n", "twoXX\r\n", "three\r\n", "four\r\n"}) {
            context->write(line, std::strlen(line));
        }
        EXPECT_EQ(context->droppedLines(), 1u) << expected;
        EXPECT_EQ(readFile(current()), expected + "four\r\n");
        DeleteFileW(current().c_str());
    }
}

// A peer that ended owning the mutex leaves it to this process, which releases it again; one
// that holds it past the bounded wait costs the line, counted.
TEST_F(FileContextTest, AnAbandonedMutexIsTakenOverAndAStuckPeerCostsTheLine) {
    auto context = make();
    ASSERT_TRUE(context->open());
    HANDLE mutex = context->mutex();
    std::thread([mutex] { WaitForSingleObject(mutex, INFINITE); }).join(); // it ends owning it
    context->write("after\r\n", 7);
    EXPECT_TRUE(acquirableFromAnotherThread(mutex));
    ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0); // held here while another thread writes
    std::thread([&] { context->write("lost\r\n", 6); }).join();
    ReleaseMutex(mutex);
    context->write("last\r\n", 6);
    EXPECT_EQ(context->droppedLines(), 1u);
    EXPECT_EQ(readFile(current()), "after\r\nlast\r\n");
}

// A peer created the mutex with a DACL that refuses this process full access.
// A handle that could wait but not release would keep the mutex owned after the
// first line and lock every other writer out; this process logs nothing instead.
TEST_F(FileContextTest, AMutexThatCannotBeReleasedIsNotUsed) {
    auto first = make();
    ASSERT_TRUE(first->open());
    const std::wstring name = first->mutexName(false);
    first.reset();
    for (const auto& [dacl, usable] :
         {std::pair<const char*, bool>{"D:(A;;0x100000;;;WD)", false}, {"D:(A;;0x100001;;;WD)", true}}) {
        kv::UniqueHandle peer(CreateMutexW(SecurityAttributes(dacl).get(), FALSE, name.c_str()));
        ASSERT_TRUE(peer.valid());
        auto context = make();
        DeleteFileW(current().c_str());
        ASSERT_TRUE(context->open());
        EXPECT_EQ(context->mutex() != nullptr, usable) << dacl;
        context->write("line\r\n", 6);
        EXPECT_EQ(readFile(current()), usable ? "line\r\n" : "") << dacl;
        EXPECT_TRUE(acquirableFromAnotherThread(peer.get())) << dacl;
    }
}

// A file where a directory belongs, or a root that is missing (and is never created).
TEST_F(FileContextTest, WhenTheDirectoriesFailNothingIsEverWritten) {
    writeBytes(root / L"Korvane", "a file where a directory belongs");
    for (const std::wstring& logRoot : {root.path(), root / L"missing"}) {
        settings.setRoot(logRoot);
        auto context = make();
        EXPECT_FALSE(context->open());
        EXPECT_EQ(context->basePath(), L"");
        context->write("line\r\n", 6);
        EXPECT_EQ(context->droppedLines(), 1u);
        EXPECT_FALSE(context->open());
    }
    EXPECT_EQ(readFile(root / L"Korvane"), "a file where a directory belongs");
    EXPECT_FALSE(exists(root / L"missing"));
}

} // namespace
