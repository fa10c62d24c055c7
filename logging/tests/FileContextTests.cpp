#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "LogTestSupport.h"
#include "logging/FileContext.h"
#include "logging/Log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace KvZarnLogging;
using logtest::exists;
using logtest::readBytes;
using logtest::writeBytes;

namespace {

std::string daclText(PSECURITY_DESCRIPTOR descriptor,
                     SECURITY_INFORMATION parts = DACL_SECURITY_INFORMATION) {
    char* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, parts, &text, nullptr);
    const std::string result = text ? text : "(unreadable)";
    LocalFree(text);
    return result;
}

// The security each directory chain and file gets, as SDDL ("-" for none).
struct SecurityLog {
    std::vector<std::string> directories, files;
    // Directories given an owner and DACL ("Korvane\\Log: O:BAD:..."), and how
    // many of them were secured when the first file was opened.
    std::vector<std::string> secured;
    size_t securedAtFirstFile = 0;
    static std::string of(SECURITY_ATTRIBUTES* attributes) {
        return attributes == nullptr ? "-"
               : attributes->nLength != sizeof(SECURITY_ATTRIBUTES) || attributes->bInheritHandle
                   ? "(malformed)"
                   : daclText(attributes->lpSecurityDescriptor);
    }
};

class RecordingFile : public FileSystem::File {
public:
    explicit RecordingFile(SecurityLog& log) : log_(log) {}
    bool open(const std::wstring& path, SECURITY_ATTRIBUTES* attributes) override {
        if (log_.files.empty()) {
            log_.securedAtFirstFile = log_.secured.size();
        }
        log_.files.push_back(SecurityLog::of(attributes));
        return File::open(path, attributes);
    }

private:
    SecurityLog& log_;
};

class RecordingPath : public FileSystem::Path {
public:
    explicit RecordingPath(SecurityLog& log) : log_(log) {}
    std::unique_ptr<FileSystem::File> createFile() override { return std::make_unique<RecordingFile>(log_); }
    bool createDirectories(const std::wstring& path, size_t start, SECURITY_ATTRIBUTES* attributes) override {
        log_.directories.push_back(SecurityLog::of(attributes));
        return Path::createDirectories(path, start, attributes);
    }
    bool secureDirectory(const std::wstring& path, PSECURITY_DESCRIPTOR descriptor) override {
        const std::wstring name = path.substr(path.find(L"Korvane"));
        log_.secured.push_back(std::string(name.begin(), name.end()) + ": " +
                               daclText(descriptor, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION));
        return Path::secureDirectory(path, descriptor);
    }

private:
    SecurityLog& log_;
};

// A disk that fills up: the write numbered failAt keeps only its first `kept`
// bytes, and cutting the file back can be made to fail too.
struct Faults {
    int failAt = -1;
    DWORD kept = 0;
    bool truncateFails = false;
    std::wstring refusedMoveFrom; // the first move from a name containing this fails
    int writes = 0;
};

class FaultyFile : public FileSystem::File {
public:
    explicit FaultyFile(Faults& faults) : faults_(faults) {}
    bool write(const void* bytes, DWORD count) override {
        if (faults_.writes++ != faults_.failAt) {
            return File::write(bytes, count);
        }
        File::write(bytes, faults_.kept);
        return false;
    }
    bool truncate(unsigned long long size) override { return !faults_.truncateFails && File::truncate(size); }

private:
    Faults& faults_;
};

class FaultyPath : public FileSystem::Path {
public:
    explicit FaultyPath(Faults& faults) : faults_(faults) {}
    std::unique_ptr<FileSystem::File> createFile() override { return std::make_unique<FaultyFile>(faults_); }
    bool moveFile(const std::wstring& from, const std::wstring& to) override {
        if (!faults_.refusedMoveFrom.empty() && from.find(faults_.refusedMoveFrom) != std::wstring::npos) {
            faults_.refusedMoveFrom.clear();
            return false;
        }
        return Path::moveFile(from, to);
    }

private:
    Faults& faults_;
};

// Wine cannot lower a token's integrity; this context sees a low-integrity user.
class LowIntegrityContext : public FileContext {
public:
    using FileContext::FileContext;

protected:
    TokenFacts identify() override { return {false, true}; }
};

bool acquirableFromAnotherThread(HANDLE mutex) {
    DWORD result = WAIT_FAILED;
    std::thread([&] {
        result = WaitForSingleObject(mutex, 0);
        ReleaseMutex(mutex);
    }).join();
    return result == WAIT_OBJECT_0;
}

class FileContextTest : public ::testing::Test {
protected:
    void SetUp() override { settings.setRoot(root.path()); }
    std::unique_ptr<FileContext> make(const std::wstring& nameSpace = L"", unsigned flags = 0) {
        return std::make_unique<FileContext>(std::make_unique<FileSystem::Path>(), nameSpace, L"Wisp",
                                             L"install-x", Info, flags);
    }
    std::wstring current() const { return root.path() + L"\\Korvane\\Log\\Wisp\\install-x.log"; }
    std::wstring backup(int n) const {
        return root.path() + L"\\Korvane\\Log\\Wisp\\install-x." + std::to_wstring(n) + L".log";
    }

    kv::test::TempDirectory root;
    logtest::LoggingSettings settings;
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
        auto context = make(nameSpace);
        ASSERT_TRUE(context->open()) << nameSpace;
        const std::wstring base = root.path() + directory + L"\\install-x";
        EXPECT_EQ(context->basePath(), base);
        EXPECT_EQ(context->fileName(2), base + L".2.log");
        EXPECT_FALSE(context->open()) << "only the first open sets up";
        EXPECT_FALSE(exists(base + L".log"));
        context->write("x\r\n", 3);
        EXPECT_EQ(readBytes(base + L".log"), "x\r\n");
        DeleteFileW((base + L".log").c_str());
    }
}

class DirectoriesThere : public FileSystem::Path {
    bool createDirectories(const std::wstring&, size_t, SECURITY_ATTRIBUTES*) override { return true; }
};

TEST(FileContextNames, EveryProcessOfOneFileSharesOneMutexName) {
    FileContext context(std::make_unique<DirectoriesThere>(), L"", L"Wisp", L"install-x", Info, 0);
    ASSERT_TRUE(context.buildPath(L"C:\\ProgramData", false));
    EXPECT_EQ(context.mutexName(false), L"Global\\KvZarnLogging_C:_ProgramData_Korvane_Log_Wisp_install-x");
    EXPECT_EQ(context.mutexName(true), L"Local\\KvZarnLogging_C:_ProgramData_Korvane_Log_Wisp_install-x");
}

TEST_F(FileContextTest, AdministratorGetsTheAclTheGuardedMutexAndOptionallyTheSid) {
    const std::wstring sid = L"." + userSidString(nullptr);
    ASSERT_GT(sid.size(), 1u);
    struct Row {
        unsigned flags;
        const char* acl;
        std::wstring suffix;
        const char* owned;
    };
    const char* inheritable = "O:BAD:(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GRGX;;;AU)";
    for (const Row& row : {Row{0, InheritableLogAcl, L"", inheritable},
                           Row{RestrictedAcl, RestrictedLogAcl, L"", "O:BAD:(A;;GA;;;SY)(A;;GA;;;BA)"},
                           Row{AppendUserSid, InheritableLogAcl, sid, inheritable}}) {
        SecurityLog security;
        FileContext context(std::make_unique<RecordingPath>(security), L"", L"Wisp", L"install-x", Info,
                            row.flags);
        ASSERT_TRUE(context.open());
        EXPECT_EQ(context.basePath(), root.path() + L"\\Korvane\\Log\\Wisp\\install-x" + row.suffix);
        context.write("line\r\n", 6);
        const std::string expected = SecurityLog::of(SecurityAttributes(row.acl).get());
        // Made at the first open, looked at again before the file is opened.
        EXPECT_THAT(security.directories, ::testing::AllOf(::testing::SizeIs(2), ::testing::Each(expected)));
        EXPECT_EQ(security.files, std::vector<std::string>{expected});
        EXPECT_EQ(readBytes(context.fileName(0)), "line\r\n");
        DeleteFileW(context.fileName(0).c_str());
        // Existing directories (all but the first row's) are taken over as well.
        const std::string owned = daclText(SecurityAttributes(row.owned).get()->lpSecurityDescriptor,
                                           OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
        EXPECT_EQ(security.secured, (std::vector<std::string>{"Korvane: " + owned, "Korvane\\Log: " + owned,
                                                              "Korvane\\Log\\Wisp: " + owned}));
        EXPECT_EQ(security.securedAtFirstFile, 3u);

        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_EQ(GetSecurityInfo(context.mutex(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, nullptr, nullptr, &descriptor),
                  ERROR_SUCCESS);
        // Windows shows the generic rights mapped, Wine as given.
        EXPECT_THAT(daclText(descriptor),
                    ::testing::AnyOf("D:(A;;GA;;;SY)(A;;GA;;;BA)", "D:(A;;0x1f0001;;;SY)(A;;0x1f0001;;;BA)"));
        LocalFree(descriptor);
    }
}

TEST_F(FileContextTest, StandardUserLogsBelowTheUserRootWithDefaultSecurity) {
    kv::test::TempDirectory userRoot;
    settings.setRoot(userRoot.path(), HKEY_CURRENT_USER);
    SecurityLog security;
    FileContext context(std::make_unique<RecordingPath>(security), L"", L"Wisp", L"install-x", Info,
                        AppendUserSid | RestrictedAcl);
    kv::UniqueHandle user(logtest::createStandardUserToken());
    ASSERT_TRUE(ImpersonateLoggedOnUser(user.get()));
    const bool opened = context.open();
    RevertToSelf();
    ASSERT_TRUE(opened);
    EXPECT_FALSE(context.isAdmin());
    EXPECT_EQ(context.basePath(), userRoot.path() + L"\\Korvane\\Log\\Wisp\\install-x") << "no SID";
    context.write("line\r\n", 6);
    EXPECT_THAT(security.directories, ::testing::AllOf(::testing::SizeIs(2), ::testing::Each("-")));
    EXPECT_EQ(security.files, std::vector<std::string>{"-"});
    EXPECT_TRUE(security.secured.empty()) << "a user's own directories are left as they are";
    EXPECT_EQ(readBytes(context.fileName(0)), "line\r\n");
}

TEST_F(FileContextTest, LowIntegrityUserLogsBelowLocalLowWithALocalMutex) {
    kv::test::TempDirectory localLow;
    logtest::SavedValue folder(HKEY_CURRENT_USER,
                               L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
                               L"{A520A1A4-1780-4FF6-BD18-167343C5AF16}");
    folder.set(&localLow.path());
    LowIntegrityContext context(std::make_unique<FileSystem::Path>(), L"", L"Wisp", L"install-x", Info, 0);
    ASSERT_TRUE(context.open());
    EXPECT_TRUE(context.isLowIntegrity());
    EXPECT_EQ(context.basePath(), localLow.path() + L"\\Korvane\\Log\\Wisp\\install-x");
    const std::wstring name = context.mutexName(true);
    EXPECT_EQ(name.rfind(L"Local\\", 0), 0u) << "the local namespace, not Global";
    EXPECT_TRUE(kv::UniqueHandle(OpenMutexW(SYNCHRONIZE, FALSE, name.c_str())).valid());
}

TEST_F(FileContextTest, WithoutSharedMutexTheMutexHasNoName) {
    auto context = make(L"", NoSharedMutex);
    ASSERT_TRUE(context->open());
    EXPECT_NE(context->mutex(), nullptr);
    EXPECT_FALSE(kv::UniqueHandle(OpenMutexW(SYNCHRONIZE, FALSE, context->mutexName(false).c_str())).valid());
}

TEST_F(FileContextTest, SizeLimitIsReadAtEveryOpen) {
    auto context = make();
    EXPECT_EQ(context->maxSize(), 50000u);
    settings.setDword(L"Wisp", L"LogMaxSizeKB", 1);
    ASSERT_TRUE(context->open());
    EXPECT_EQ(context->maxSize(), 1024u);
    settings.setDword(L"Wisp\\install-x", L"LogMaxSizeKB", 2);
    EXPECT_FALSE(context->open());
    EXPECT_EQ(context->maxSize(), 2048u);
}

TEST_F(FileContextTest, RotationKeepsTwoBackupsOfAtMostOneLineOverTheLimit) {
    auto context = make();
    ASSERT_TRUE(context->open());
    const std::string line = std::string(97, 'x') + "\r\n"; // 99 bytes: 51200 is no multiple of it
    auto writeKilobytes = [&](int kilobytes) {
        for (int i = 0; i < kilobytes * 1000 / 99; ++i) {
            context->write(line.data(), line.size());
        }
    };
    writeKilobytes(60);
    EXPECT_LT(logtest::fileSize(current()), 51200u + 99);
    EXPECT_EQ(logtest::fileSize(backup(1)), 51200u / 99 * 99 + 99)
        << "rotated at the first line over the limit";
    EXPECT_FALSE(exists(backup(2)));
    writeKilobytes(60);
    EXPECT_TRUE(exists(backup(2)));
    writeKilobytes(120);
    EXPECT_FALSE(exists(backup(3)));
    for (const std::wstring& path : {current(), backup(1), backup(2)}) {
        EXPECT_TRUE(logtest::splitLines(readBytes(path)).whole);
        EXPECT_LT(logtest::fileSize(path), 51200u + 99);
    }
}

TEST_F(FileContextTest, AnUnusableCurrentFileIsRotatedAwayBeforeTheFirstLine) {
    struct Row {
        const char* why;
        std::string content;
        bool hardLinked;
    };
    for (const Row& row : {Row{"full", std::string(51200, 'a'), false},
                           Row{"UTF-16",
                               std::string("\xFF\xFE"
                                           "a\0\r\0\n\0",
                                           8),
                               false},
                           Row{"hard-linked", "precious", true}}) {
        kv::test::TempDirectory other;
        auto context = make();
        ASSERT_TRUE(context->open());
        writeBytes(backup(1), "first backup");
        writeBytes(backup(2), "second backup");
        if (row.hardLinked) {
            writeBytes(other / L"elsewhere", row.content);
            ASSERT_TRUE(CreateHardLinkW(current().c_str(), (other / L"elsewhere").c_str(), nullptr));
        } else {
            writeBytes(current(), row.content);
        }
        context->write("new\r\n", 5);
        context.reset();
        EXPECT_EQ(readBytes(current()), "new\r\n") << row.why;
        EXPECT_EQ(readBytes(backup(1)), row.content) << row.why;
        EXPECT_EQ(readBytes(backup(2)), "first backup") << row.why;
        EXPECT_FALSE(exists(backup(3))) << row.why;
        EXPECT_EQ(readBytes(other / L"elsewhere"), row.hardLinked ? row.content : "") << row.why;
        for (int n = 0; n <= 2; ++n) {
            DeleteFileW(n == 0 ? current().c_str() : backup(n).c_str());
        }
    }
    EXPECT_EQ(logtest::filesIn(root / L"Korvane\\Log\\Wisp").size(), 0u) << "no temporary name left behind";
}

// A current file this process cannot open (a reader without write sharing, a
// directory at its name) rotates nothing: every backup stays as it was and each
// line is counted as dropped.
TEST_F(FileContextTest, ACurrentFileThatCannotBeOpenedCostsNoBackup) {
    for (const bool directory : {false, true}) {
        auto context = make();
        ASSERT_TRUE(context->open());
        writeBytes(backup(1), "first backup");
        writeBytes(backup(2), "second backup");
        kv::UniqueFile reader;
        if (directory) {
            ASSERT_TRUE(CreateDirectoryW(current().c_str(), nullptr));
        } else {
            writeBytes(current(), "held");
            reader.reset(CreateFileW(current().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     0, nullptr));
            ASSERT_TRUE(reader.valid());
        }
        for (int i = 0; i < 3; ++i) {
            context->write("line\r\n", 6);
        }
        EXPECT_EQ(context->droppedLines(), 3u) << directory;
        EXPECT_EQ(readBytes(backup(1)), "first backup") << directory;
        EXPECT_EQ(readBytes(backup(2)), "second backup") << directory;
        reader.reset();
        context.reset();
        RemoveDirectoryW(current().c_str());
        DeleteFileW(current().c_str());
    }
}

// The component directory swapped for a link while the log is open: the next
// open (here for a rotation) finds the link and writes, moves and deletes
// nothing there; the lines are counted dropped.
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
    ASSERT_TRUE(logtest::makeDirectorySymlink(target, wisp));
    context->write("next\r\n", 6);
    context->write("last\r\n", 6);
    EXPECT_EQ(context->droppedLines(), 2u);
    EXPECT_EQ(logtest::filesIn(target), std::vector<std::wstring>{L"install-x.log"});
    EXPECT_EQ(readBytes(target + L"\\install-x.log"), "theirs");
    EXPECT_EQ(readBytes(wisp + L"-old\\install-x.log"), full);
    context.reset();
    EXPECT_TRUE(logtest::removeSymlink(wisp));
}

// A rotation step that fails puts every file back where it was; the full file is
// then appended to, and no backup is lost.
TEST_F(FileContextTest, AFailedRotationStepUndoesTheEarlierOnes) {
    // The middle step (B.1 to B.2) and the last one (the set-aside current file to B.1).
    for (const wchar_t* refused : {L".1.log", L"__rotate_"}) {
        Faults faults;
        faults.refusedMoveFrom = refused;
        FileContext context(std::make_unique<FaultyPath>(faults), L"", L"Wisp", L"install-x", Info, 0);
        ASSERT_TRUE(context.open());
        const std::string full(51200, 'a');
        writeBytes(current(), full);
        writeBytes(backup(1), "first backup");
        writeBytes(backup(2), "second backup");
        context.write("new\r\n", 5);
        EXPECT_EQ(context.droppedLines(), 0u) << refused;
        EXPECT_EQ(readBytes(backup(1)), "first backup") << refused;
        EXPECT_EQ(readBytes(backup(2)), "second backup") << refused;
        EXPECT_EQ(readBytes(current()), full + "new\r\n") << refused;
        EXPECT_EQ(logtest::filesIn(root / L"Korvane\\Log\\Wisp").size(), 3u) << refused;
    }
}

// A disk that fills up mid-line: the torn line is cut off and counted; when even
// that fails, the next line still begins on a line of its own.
TEST_F(FileContextTest, AShortWriteLeavesOnlyWholeLinesAndIsCounted) {
    struct Row {
        DWORD kept;
        bool truncateFails;
        const char* expected;
    };
    for (const Row& row : {Row{3, false, "one\r\nthree\r\n"}, Row{0, false, "one\r\nthree\r\n"},
                           Row{3, true, "one\r\ntwo\r\nthree\r\n"}}) {
        Faults faults;
        faults.failAt = 1;
        faults.kept = row.kept;
        faults.truncateFails = row.truncateFails;
        FileContext context(std::make_unique<FaultyPath>(faults), L"", L"Wisp", L"install-x", Info, 0);
        ASSERT_TRUE(context.open());
        for (const char* line : {"one\r\n", "twoXX\r\n", "three\r\n"}) {
            context.write(line, std::strlen(line));
        }
        EXPECT_EQ(context.droppedLines(), 1u) << row.expected;
        EXPECT_EQ(readBytes(current()), row.expected);
        context.write("four\r\n", 6);
        EXPECT_EQ(readBytes(current()), row.expected + std::string("four\r\n"));
        DeleteFileW(current().c_str());
    }
}

TEST_F(FileContextTest, AFullFileThatCannotBeMovedIsAppendedToNeverOverwritten) {
    auto context = make();
    ASSERT_TRUE(context->open());
    const std::string old = "0123456789\r\n" + std::string(51200, 'a') + "\r\n";
    writeBytes(current(), old);
    // A log viewer without delete sharing keeps the rotation from moving the file.
    kv::UniqueFile viewer(CreateFileW(current().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    context->write("new\r\n", 5);
    viewer.reset();
    EXPECT_EQ(readBytes(current()), old + "new\r\n");
    EXPECT_FALSE(exists(backup(1)));
}

TEST_F(FileContextTest, AnAbandonedMutexIsTakenOverAndReleased) {
    auto context = make();
    ASSERT_TRUE(context->open());
    std::thread([&] {
        HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, context->mutexName(false).c_str());
        WaitForSingleObject(mutex, INFINITE);
        CloseHandle(mutex); // the thread ends owning it
    }).join();
    context->write("after\r\n", 7);
    EXPECT_EQ(readBytes(current()), "after\r\n");
    EXPECT_TRUE(acquirableFromAnotherThread(context->mutex()));
}

// A peer created the mutex with a DACL that refuses this process full access.
// A handle that could wait but not release would keep the mutex owned after the
// first line and lock every other writer out; this process logs nothing instead.
TEST_F(FileContextTest, AMutexThatCannotBeReleasedIsNotUsed) {
    auto probe = make();
    ASSERT_TRUE(probe->open());
    const std::wstring name = probe->mutexName(false);
    probe.reset();
    for (const auto& [dacl, usable] :
         {std::pair<const char*, bool>{"D:(A;;0x100000;;;WD)", false}, {"D:(A;;0x100001;;;WD)", true}}) {
        kv::UniqueHandle peer(CreateMutexW(SecurityAttributes(dacl).get(), FALSE, name.c_str()));
        ASSERT_TRUE(peer.valid());
        auto context = make();
        DeleteFileW(current().c_str());
        ASSERT_TRUE(context->open());
        EXPECT_EQ(context->mutex() != nullptr, usable) << dacl;
        context->write("line\r\n", 6);
        EXPECT_EQ(readBytes(current()), usable ? "line\r\n" : "") << dacl;
        EXPECT_TRUE(acquirableFromAnotherThread(peer.get())) << dacl;
    }
}

TEST_F(FileContextTest, WhenTheDirectoriesFailNothingIsEverWritten) {
    writeBytes(root / L"Korvane", "a file where a directory belongs");
    auto context = make();
    EXPECT_FALSE(context->open());
    EXPECT_EQ(context->basePath(), L"");
    context->write("line\r\n", 6);
    EXPECT_EQ(context->droppedLines(), 1u);
    EXPECT_FALSE(context->open());
    EXPECT_EQ(readBytes(root / L"Korvane"), "a file where a directory belongs");
}

} // namespace
