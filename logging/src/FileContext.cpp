#include <windows.h>

#include "logging/FileContext.h"
#include "logging/Log.h"

#include <string>
#include <utility>
#include <vector>

namespace KvZarnLogging {

namespace {

bool isDefaultNamespace(const std::wstring& name) {
    return name.empty() || name == L"default" || name == L"wp_default" || name == L"mvx_default";
}

// An administrator's named mutex admits only SYSTEM and Administrators. When it
// exists with a DACL that refuses full access, it is opened for waiting and
// releasing: a handle that can wait but not release would keep the mutex owned
// and shut every other writer out.
HANDLE createLogMutex(const std::wstring& name, bool admin) {
    SecurityAttributes attributes;
    if (admin && !name.empty()) {
        attributes = SecurityAttributes(RestrictedLogAcl);
    }
    const wchar_t* mutexName = name.empty() ? nullptr : name.c_str();
    HANDLE mutex = ::CreateMutexW(attributes.get(), FALSE, mutexName);
    if (mutex == nullptr && ::GetLastError() == ERROR_ACCESS_DENIED && mutexName != nullptr) {
        mutex = ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, mutexName);
    }
    return mutex;
}

} // namespace

FileContextBase::FileContextBase(std::unique_ptr<FileSystem::Path> paths, std::wstring nameSpace,
                                 std::wstring component, std::wstring fileStem, unsigned flags)
    : paths_(std::move(paths)), namespaceName_(std::move(nameSpace)), component_(std::move(component)),
      fileStem_(std::move(fileStem)), flags_(flags) {}

FileContextBase::~FileContextBase() = default;

TokenFacts FileContextBase::identify() {
    return readTokenFacts(nullptr);
}

bool FileContextBase::init() {
    if (initialised_) {
        return false;
    }
    const TokenFacts facts = identify();
    isAdmin_ = facts.isAdmin;
    RootKind kind = RootKind::User;
    if (isAdmin_) {
        securityAttributes_ =
            SecurityAttributes((flags_ & RestrictedAcl) ? RestrictedLogAcl : InheritableLogAcl);
        kind = RootKind::Machine;
    } else if (facts.isLowIntegrity) {
        isLowIntegrity_ = true;
        kind = RootKind::LowIntegrityUser;
    }
    initialised_ = true;
    return buildPath(readLoggingRoot(kind), isAdmin_);
}

bool FileContextBase::buildPath(const std::wstring& root, bool admin) {
    std::wstring directory = root + L"\\Korvane";
    if (!isDefaultNamespace(namespaceName_)) {
        directory += L"\\NS\\" + namespaceName_;
    }
    directory += L"\\Log\\" + component_;
    if (!paths_->createDirectories(directory, root.size() + 1, securityAttributes_.get())) {
        basePath_.clear();
        return false;
    }
    // An administrator does not trust a directory of the chain that somebody else
    // may have made before it: each gets Administrators as owner and the log's
    // DACL before the first file is created in it; a refusal refuses the chain.
    if (admin && securityAttributes_) {
        const std::string sddl =
            std::string("O:BA") + ((flags_ & RestrictedAcl) ? RestrictedLogAcl : InheritableLogAcl);
        const SecurityAttributes owned(sddl.c_str());
        for (size_t end = directory.find(L'\\', root.size() + 1);; end = directory.find(L'\\', end + 1)) {
            if (!owned || !paths_->secureDirectory(directory.substr(0, end), owned.descriptor())) {
                basePath_.clear();
                return false;
            }
            if (end == std::wstring::npos) {
                break;
            }
        }
    }
    directory_ = directory;
    chainStart_ = root.size() + 1;
    basePath_ = directory + L"\\" + fileStem_;
    if (admin && (flags_ & AppendUserSid)) {
        const std::wstring sid = userSidString(nullptr);
        if (!sid.empty()) {
            basePath_ += L"." + sid;
        }
    }
    return true;
}

bool FileContextBase::checkChain() {
    return !basePath_.empty() &&
           paths_->createDirectories(directory_, chainStart_, securityAttributes_.get());
}

std::wstring FileContextBase::fileName(int index) const {
    if (index == 0) {
        return basePath_ + L".log";
    }
    return basePath_ + L"." + std::to_wstring(index) + L".log";
}

bool FileContextBase::rotate(int count) {
    // The current file is moved aside first: when it cannot move (a reader without
    // delete sharing), no backup has been touched. The oldest backup is only set
    // aside and deleted once every move succeeded; a failed step undoes the earlier
    // ones in reverse order.
    const std::wstring stamp =
        std::to_wstring(::GetCurrentProcessId()) + L"_" + std::to_wstring(::GetTickCount64());
    const std::wstring moving = fileName(0) + L"__rotate_" + stamp;
    std::vector<std::pair<std::wstring, std::wstring>> done;
    auto move = [&](const std::wstring& from, const std::wstring& to) {
        if (paths_->moveFile(from, to)) {
            done.emplace_back(from, to);
            return true;
        }
        for (auto step = done.rbegin(); step != done.rend(); ++step) {
            paths_->moveFile(step->second, step->first);
        }
        return false;
    };
    if (!move(fileName(0), moving)) {
        return false;
    }
    std::wstring oldest;
    if (paths_->fileExists(fileName(count))) {
        oldest = fileName(count) + L"__delete_" + stamp;
        if (!move(fileName(count), oldest)) {
            return false;
        }
    }
    for (int k = count - 1; k >= 1; --k) {
        if (paths_->fileExists(fileName(k)) && !move(fileName(k), fileName(k + 1))) {
            return false;
        }
    }
    if (!move(moving, fileName(1))) {
        return false;
    }
    if (!oldest.empty()) {
        paths_->deleteFile(oldest);
    }
    return true;
}

FileContext::FileContext(std::unique_ptr<FileSystem::Path> paths, std::wstring nameSpace,
                         std::wstring component, std::wstring fileStem, int defaultLevel, unsigned flags)
    : FileContextBase(std::move(paths), std::move(nameSpace), std::move(component), std::move(fileStem),
                      flags),
      defaultLevel_(defaultLevel), file_(paths_->createFile()) {}

FileContext::~FileContext() {
    mutex_.reset();
    file_.reset();
}

bool FileContext::open() {
    maxSize_ = readMaxSize(component_, fileStem_);
    if (!init()) {
        return false;
    }
    if (basePath_.empty()) {
        return true;
    }
    const std::wstring name = (flags_ & NoSharedMutex) ? std::wstring() : mutexName(isLowIntegrity_);
    mutex_.reset(createLogMutex(name, isAdmin_));
    return true;
}

bool FileContext::acquire() {
    // The bounded wait keeps a stuck peer from stalling this process: its line is
    // dropped instead. An abandoned mutex is owned now and must be released.
    const DWORD result = mutex_ ? ::WaitForSingleObject(mutex_.get(), MutexWaitMs) : WAIT_FAILED;
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
        return true;
    }
    ++droppedLines_;
    return false;
}

void FileContext::release() {
    ::ReleaseMutex(mutex_.get());
}

void FileContext::write(const char* bytes, size_t count) {
    if (!acquire()) {
        return;
    }
    bool written = prepareFile();
    if (written && pendingBreak_) {
        pendingBreak_ = false;
        written = writeWhole("\r\n", 2);
    }
    if (!written || !writeWhole(bytes, static_cast<DWORD>(count))) {
        ++droppedLines_;
    }
    release();
}

bool FileContext::writeWhole(const char* bytes, DWORD count) {
    if (file_->write(bytes, count)) {
        lineStart_ += count;
        return true;
    }
    // A short write (a full disk) leaves the start of the line behind: cut it off,
    // or else let the next line begin on a line of its own.
    if (!file_->truncate(lineStart_)) {
        pendingBreak_ = true;
    }
    return false;
}

void FileContext::flush() {
    if (!acquire()) {
        return;
    }
    file_->flush();
    release();
}

int FileContext::logLevel() {
    return readLogLevel(component_, fileStem_, defaultLevel_);
}

bool FileContext::debugOutputEnabled() {
    return readDebugOutput(component_, fileStem_);
}

bool FileContext::prepareFile() {
    if (file_->isOpen()) {
        lineStart_ = file_->size();
        if (lineStart_ < maxSize_) {
            return true;
        }
        file_->close();
    }
    // Every open and rotation looks at the chain again: a directory swapped for
    // a link since the last look would take the file, its moves and deletes there.
    if (!checkChain()) {
        return false;
    }
    const std::wstring current = fileName(0);
    if (file_->open(current, securityAttributes_.get())) {
        lineStart_ = file_->size();
        if (file_->isNarrowText() && lineStart_ < maxSize_) {
            return true;
        }
        file_->close();
    } else if (!file_->refused()) {
        // Held without sharing, access denied, a directory at its name: this line
        // is lost, but rotating could only cost backups without replacing them.
        return false;
    }
    const bool rotated = rotate(2);
    if (!file_->open(current, securityAttributes_.get())) {
        return false;
    }
    if (rotated) {
        pendingBreak_ = false;
    } else if (!file_->isNarrowText()) {
        // A UTF-16 file that could not be moved away is not written into.
        file_->close();
        return false;
    }
    // When the rotation could not move the old file away (a reader without
    // delete sharing holds it), this is that file again: append, never overwrite.
    lineStart_ = file_->size();
    return true;
}

void FileContext::removeFile(const std::wstring& path) {
    const std::wstring doomed = path + L"__delete_" + std::to_wstring(::GetTickCount64());
    paths_->deleteFile(paths_->moveFile(path, doomed) ? doomed : path);
}

std::wstring FileContext::mutexName(bool useLocal) const {
    std::wstring name = basePath_;
    for (wchar_t& c : name) {
        if (c == L'\\') {
            c = L'_';
        }
    }
    return (useLocal ? L"Local\\KvZarnLogging_" : L"Global\\KvZarnLogging_") + name;
}

} // namespace KvZarnLogging
