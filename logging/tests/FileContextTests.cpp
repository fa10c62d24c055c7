#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "LogTestSupport.h"
#include "logging/FileContext.h"
#include "logging/Log.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace KvZarnLogging;
using logtest::fileExists;
using logtest::readBytes;
using logtest::writeBytes;

namespace {

constexpr wchar_t ShellFolders[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

std::string daclText(PSECURITY_DESCRIPTOR descriptor) {
    char* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1,
                                                         DACL_SECURITY_INFORMATION, &text, nullptr);
    std::string result = text ? text : "(unreadable)";
    LocalFree(text);
    return result;
}

// The SDDL as the system writes it back (the order of rights may differ from the source).
std::string canonical(const char* sddl) {
    return daclText(SecurityAttributes(sddl).get()->lpSecurityDescriptor);
}

std::string sddlOf(SECURITY_ATTRIBUTES* attributes) {
    if (attributes == nullptr) {
        return "(none)";
    }
    if (attributes->nLength != sizeof(SECURITY_ATTRIBUTES) || attributes->bInheritHandle) {
        return "(malformed)";
    }
    return daclText(attributes->lpSecurityDescriptor);
}

// The real file system, noting the security every directory and file gets.
struct SecurityLog {
    std::vector<std::string> directories;
    std::vector<std::string> files;
};

class RecordingFile : public FileSystem::File {
public:
    explicit RecordingFile(SecurityLog& log) : log_(log) {}
    bool open(const std::wstring& path, SECURITY_ATTRIBUTES* attributes) override {
        log_.files.push_back(sddlOf(attributes));
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
        log_.directories.push_back(sddlOf(attributes));
        return Path::createDirectories(path, start, attributes);
    }

private:
    SecurityLog& log_;
};

// Wine cannot lower a token's integrity; this context sees a low-integrity user.
class LowIntegrityContext : public FileContext {
public:
    using FileContext::FileContext;

protected:
    TokenFacts identify() override { return {false, true}; }
};

kv::UniqueHandle standardUserToken() {
    kv::UniqueHandle process;
    OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, process.put());
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                             &admins);
    SID_AND_ATTRIBUTES deny = {admins, 0};
    kv::UniqueHandle restricted;
    CreateRestrictedToken(process.get(), 0, 1, &deny, 0, nullptr, 0, nullptr, restricted.put());
    FreeSid(admins);
    return restricted;
}

std::wstring underscored(std::wstring path) {
    for (wchar_t& c : path) {
        if (c == L'\\') {
            c = L'_';
        }
    }
    return path;
}

bool acquirableFromAnotherThread(HANDLE mutex) {
    DWORD result = WAIT_FAILED;
    std::thread([&] {
        result = WaitForSingleObject(mutex, 0);
        if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
            ReleaseMutex(mutex);
        }
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
    std::wstring base() const { return root.path() + L"\\Korvane\\Log\\Wisp\\install-x"; }
    std::wstring current() const { return base() + L".log"; }
    std::wstring backup(int n) const { return base() + L"." + std::to_wstring(n) + L".log"; }

    kv::test::TempDirectory root;
    logtest::LoggingSettings settings;
};

struct LayoutCase {
    const wchar_t* nameSpace;
    const wchar_t* directory;
};

TEST_F(FileContextTest, DirectoryLayoutFollowsTheNamespace) {
    const LayoutCase rows[] = {{L"", L"\\Korvane\\Log\\Wisp"},
                               {L"default", L"\\Korvane\\Log\\Wisp"},
                               {L"wp_default", L"\\Korvane\\Log\\Wisp"},
                               {L"mvx_default", L"\\Korvane\\Log\\Wisp"},
                               {L"Default", L"\\Korvane\\NS\\Default\\Log\\Wisp"},
                               {L"wp_blue", L"\\Korvane\\NS\\wp_blue\\Log\\Wisp"}};
    for (const LayoutCase& row : rows) {
        auto context = make(row.nameSpace);
        ASSERT_TRUE(context->open()) << row.nameSpace;
        const std::wstring expected = root.path() + row.directory + L"\\install-x";
        EXPECT_EQ(context->basePath(), expected);
        EXPECT_TRUE(logtest::directoryExists(root.path() + row.directory));
        EXPECT_EQ(context->mutexName(false), L"Global\\KvZarnLogging_" + underscored(expected));
        EXPECT_EQ(context->fileName(0), expected + L".log");
        EXPECT_EQ(context->fileName(2), expected + L".2.log");
        EXPECT_FALSE(context->open()) << "only the first open sets up";
    }
    EXPECT_EQ(make()->mutexName(true), L"Local\\KvZarnLogging_");
}

TEST_F(FileContextTest, AdministratorGetsTheAclTheNamedMutexAndOptionallyTheSid) {
    struct Row {
        unsigned flags;
        const char* acl;
        std::wstring suffix;
    };
    const Row rows[] = {{0, InheritableLogAcl, L""},
                        {RestrictedAcl, RestrictedLogAcl, L""},
                        {AppendUserSid, InheritableLogAcl, L"." + userSidString(nullptr)}};
    for (const Row& row : rows) {
        SecurityLog security;
        FileContext context(std::make_unique<RecordingPath>(security), L"", L"Wisp", L"install-x", Info,
                            row.flags);
        ASSERT_TRUE(context.open());
        EXPECT_TRUE(context.isAdmin());
        EXPECT_EQ(context.basePath(), base() + row.suffix);
        context.write("line\r\n", 6);
        EXPECT_EQ(security.directories, std::vector<std::string>{canonical(row.acl)});
        EXPECT_EQ(security.files, std::vector<std::string>{canonical(row.acl)});
        EXPECT_EQ(readBytes(context.fileName(0)), "line\r\n");
        DeleteFileW(context.fileName(0).c_str());

        // Only SYSTEM and Administrators may use an administrator's mutex.
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_EQ(GetSecurityInfo(context.mutex(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &dacl, nullptr, &descriptor),
                  ERROR_SUCCESS);
        ASSERT_NE(dacl, nullptr);
        ASSERT_EQ(dacl->AceCount, 2);
        const char* owners[] = {"S-1-5-18", "S-1-5-32-544"};
        for (WORD i = 0; i < dacl->AceCount; ++i) {
            ACCESS_ALLOWED_ACE* ace = nullptr;
            ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
            char* sid = nullptr;
            ConvertSidToStringSidA(&ace->SidStart, &sid);
            EXPECT_STREQ(sid, owners[i]);
            LocalFree(sid);
        }
        LocalFree(descriptor);
        kv::UniqueHandle named(OpenMutexW(SYNCHRONIZE, FALSE, context.mutexName(false).c_str()));
        EXPECT_TRUE(named.valid());
    }
}

TEST_F(FileContextTest, StandardUserLogsBelowTheUserRootWithDefaultSecurity) {
    kv::test::TempDirectory userRoot;
    settings.setRoot(userRoot.path(), HKEY_CURRENT_USER);
    SecurityLog security;
    FileContext context(std::make_unique<RecordingPath>(security), L"", L"Wisp", L"install-x", Info,
                        AppendUserSid | RestrictedAcl);
    kv::UniqueHandle user = standardUserToken();
    ASSERT_TRUE(ImpersonateLoggedOnUser(user.get()));
    const bool opened = context.open();
    RevertToSelf();
    ASSERT_TRUE(opened);
    EXPECT_FALSE(context.isAdmin());
    EXPECT_FALSE(context.isLowIntegrity());
    EXPECT_EQ(context.basePath(), userRoot.path() + L"\\Korvane\\Log\\Wisp\\install-x") << "no SID appended";
    EXPECT_EQ(context.mutexName(false), L"Global\\KvZarnLogging_" + underscored(context.basePath()));
    context.write("line\r\n", 6);
    EXPECT_EQ(security.directories, std::vector<std::string>{"(none)"});
    EXPECT_EQ(security.files, std::vector<std::string>{"(none)"});
    EXPECT_EQ(readBytes(context.fileName(0)), "line\r\n");
}

TEST_F(FileContextTest, LowIntegrityUserLogsBelowLocalLowWithALocalMutex) {
    kv::test::TempDirectory localLow;
    logtest::SavedValue folder(HKEY_CURRENT_USER, ShellFolders, L"{A520A1A4-1780-4FF6-BD18-167343C5AF16}");
    folder.set(localLow.path());
    LowIntegrityContext context(std::make_unique<FileSystem::Path>(), L"", L"Wisp", L"install-x", Info, 0);
    ASSERT_TRUE(context.open());
    EXPECT_TRUE(context.isLowIntegrity());
    EXPECT_EQ(context.basePath(), localLow.path() + L"\\Korvane\\Log\\Wisp\\install-x");
    const std::wstring localName = L"Local\\KvZarnLogging_" + underscored(context.basePath());
    EXPECT_EQ(context.mutexName(true), localName);
    kv::UniqueHandle named(OpenMutexW(SYNCHRONIZE, FALSE, localName.c_str()));
    EXPECT_TRUE(named.valid());
}

TEST_F(FileContextTest, WithoutSharedMutexTheMutexHasNoName) {
    auto context = make(L"", NoSharedMutex);
    ASSERT_TRUE(context->open());
    EXPECT_NE(context->mutex(), nullptr);
    kv::UniqueHandle named(OpenMutexW(SYNCHRONIZE, FALSE, context->mutexName(false).c_str()));
    EXPECT_FALSE(named.valid());
    context->write("line\r\n", 6);
    EXPECT_EQ(readBytes(current()), "line\r\n");
}

TEST_F(FileContextTest, TheFileIsCreatedByTheFirstWrite) {
    auto context = make();
    ASSERT_TRUE(context->open());
    EXPECT_FALSE(fileExists(current()));
    context->write("a\r\n", 3);
    context->write("b\r\n", 3);
    context->flush();
    EXPECT_EQ(readBytes(current()), "a\r\nb\r\n");
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
    const std::string line = std::string(97, 'x') + "\r\n"; // 99 bytes: 51200 is not a multiple
    auto writeKilobytes = [&](int kilobytes) {
        for (int i = 0; i < kilobytes * 1000 / 99; ++i) {
            context->write(line.data(), line.size());
        }
    };
    writeKilobytes(60);
    EXPECT_LT(logtest::fileSize(current()), 51200u + line.size());
    EXPECT_EQ(logtest::fileSize(backup(1)), 51200u / 99 * 99 + 99)
        << "rotated at the first line over the limit";
    EXPECT_FALSE(fileExists(backup(2)));
    writeKilobytes(60);
    EXPECT_TRUE(fileExists(backup(2)));
    writeKilobytes(120);
    EXPECT_FALSE(fileExists(backup(3)));
    for (const std::wstring& path : {current(), backup(1), backup(2)}) {
        const logtest::Lines lines = logtest::splitLines(readBytes(path));
        EXPECT_FALSE(lines.stray);
        EXPECT_LE(logtest::fileSize(path), 51200u + line.size());
    }
}

struct StartCase {
    const char* why;
    std::string content;
    bool hardLinked;
};

TEST_F(FileContextTest, AnUnusableCurrentFileIsRotatedAwayBeforeTheFirstLine) {
    const StartCase rows[] = {
        {"full", std::string(51200, 'a'), false},
        {"UTF-16",
         std::string("\xFF\xFE"
                     "a\0\r\0\n\0",
                     8),
         false},
        {"hard-linked", "precious", true},
    };
    for (const StartCase& row : rows) {
        kv::test::TempDirectory other;
        auto context = make();
        ASSERT_TRUE(context->open());
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
        if (row.hardLinked) {
            EXPECT_EQ(readBytes(other / L"elsewhere"), row.content)
                << "the link's other name is never written";
        }
        DeleteFileW(current().c_str());
        DeleteFileW(backup(1).c_str());
    }
}

TEST_F(FileContextTest, AFullFileThatCannotBeMovedIsAppendedToNeverOverwritten) {
    auto context = make();
    ASSERT_TRUE(context->open());
    const std::string old = "0123456789\r\n" + std::string(51200, 'a') + "\r\n";
    writeBytes(current(), old);
    // A log viewer that did not allow deletion keeps the rotation from moving the file.
    kv::UniqueFile viewer(CreateFileW(current().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(viewer.valid());
    context->write("new\r\n", 5);
    viewer.reset();
    EXPECT_EQ(readBytes(current()), old + "new\r\n");
    EXPECT_FALSE(fileExists(backup(1)));
}

TEST_F(FileContextTest, ALineWaitsAtMostHalfASecondForTheMutex) {
    auto context = make();
    ASSERT_TRUE(context->open());
    HANDLE held = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
        kv::UniqueHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, context->mutexName(false).c_str()));
        WaitForSingleObject(mutex.get(), INFINITE);
        SetEvent(held);
        WaitForSingleObject(done, INFINITE);
        ReleaseMutex(mutex.get());
    });
    WaitForSingleObject(held, INFINITE);
    const ULONGLONG start = GetTickCount64();
    context->write("lost\r\n", 6);
    const ULONGLONG waited = GetTickCount64() - start;
    SetEvent(done);
    holder.join();
    CloseHandle(held);
    CloseHandle(done);
    EXPECT_GE(waited, 450u);
    EXPECT_EQ(context->droppedLines(), 1u);
    context->write("kept\r\n", 6);
    EXPECT_EQ(readBytes(current()), "kept\r\n");
    EXPECT_EQ(context->droppedLines(), 1u);
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
    EXPECT_EQ(context->droppedLines(), 0u);
    EXPECT_TRUE(acquirableFromAnotherThread(context->mutex()));
}

// A peer created the mutex with a DACL that refuses this process full access.
// A handle that could wait but not release would keep the mutex owned after the
// first line and lock every other writer out; without release rights this
// process logs nothing instead.
TEST_F(FileContextTest, AMutexThatCannotBeReleasedIsNotUsed) {
    struct Row {
        const char* dacl;
        bool usable;
    };
    const Row rows[] = {{"D:(A;;0x100000;;;WD)", false}, {"D:(A;;0x100001;;;WD)", true}};
    std::wstring name;
    {
        auto probe = make();
        ASSERT_TRUE(probe->open());
        name = probe->mutexName(false);
    }
    for (const Row& row : rows) {
        SecurityAttributes peerSecurity(row.dacl);
        kv::UniqueHandle peer(CreateMutexW(peerSecurity.get(), FALSE, name.c_str()));
        ASSERT_TRUE(peer.valid());
        auto context = make();
        DeleteFileW(current().c_str());
        ASSERT_TRUE(context->open());
        EXPECT_EQ(context->mutex() != nullptr, row.usable) << row.dacl;
        context->write("line\r\n", 6);
        EXPECT_EQ(readBytes(current()), row.usable ? "line\r\n" : "") << row.dacl;
        EXPECT_TRUE(acquirableFromAnotherThread(peer.get())) << row.dacl;
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

TEST_F(FileContextTest, RemoveFileLeavesNothingBehind) {
    auto context = make();
    ASSERT_TRUE(context->open());
    context->write("line\r\n", 6);
    context->removeFile(backup(1));
    context.reset();
    make()->removeFile(current());
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((root.path() + L"\\Korvane\\Log\\Wisp\\*").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    int entries = 0;
    do {
        entries += data.cFileName[0] != L'.';
    } while (FindNextFileW(find, &data));
    FindClose(find);
    EXPECT_EQ(entries, 0);
}

} // namespace
