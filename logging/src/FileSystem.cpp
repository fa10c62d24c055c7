#include <windows.h>

#include "logging/FileSystem.h"

namespace KvZarnLogging::FileSystem {

File::~File() = default;

bool File::open(const std::wstring& path, SECURITY_ATTRIBUTES* attributes) {
    if (isOpen()) {
        return true;
    }
    narrowText_ = true;
    refused_ = false;
    handle_.reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, attributes,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle_) {
        return false;
    }
    // The reparse point itself was opened, not its target: never written, and
    // not rotated either, since moving or deleting it is no business of ours.
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!::GetFileInformationByHandle(handle_.get(), &information) ||
        (information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        close();
        return false;
    }
    if (!validate()) {
        close();
        refused_ = true;
        return false;
    }
    return true;
}

bool File::refused() const {
    return refused_;
}

void File::close() {
    handle_.reset();
}

bool File::write(const void* bytes, DWORD count) {
    if (!isOpen()) {
        return false;
    }
    DWORD written = 0;
    return ::WriteFile(handle_.get(), bytes, count, &written, nullptr) && written == count;
}

bool File::truncate(unsigned long long size) {
    LARGE_INTEGER position = {};
    position.QuadPart = static_cast<LONGLONG>(size);
    return isOpen() && ::SetFilePointerEx(handle_.get(), position, nullptr, FILE_BEGIN) &&
           ::SetEndOfFile(handle_.get());
}

unsigned long long File::size() {
    LARGE_INTEGER end = {};
    if (!isOpen() || !::SetFilePointerEx(handle_.get(), LARGE_INTEGER{}, &end, FILE_END)) {
        return 0;
    }
    return static_cast<unsigned long long>(end.QuadPart);
}

bool File::flush() {
    return isOpen() && ::FlushFileBuffers(handle_.get());
}

bool File::isOpen() const {
    return handle_.valid();
}

bool File::isNarrowText() const {
    return isOpen() && narrowText_;
}

bool File::validate() {
    if (!isOpen()) {
        return false;
    }
    // A second name for the log file could be anywhere the creator of the link
    // chose; such a file is never written.
    BY_HANDLE_FILE_INFORMATION information = {};
    if (::GetFileInformationByHandle(handle_.get(), &information) && information.nNumberOfLinks > 1) {
        return false;
    }
    unsigned char mark[2] = {};
    DWORD read = 0;
    if (::ReadFile(handle_.get(), mark, sizeof(mark), &read, nullptr) && read == sizeof(mark) &&
        mark[0] == 0xFF && mark[1] == 0xFE) {
        narrowText_ = false;
    }
    return true;
}

Path::~Path() = default;

std::unique_ptr<File> Path::createFile() {
    return std::make_unique<File>();
}

bool Path::fileExists(const std::wstring& path) {
    WIN32_FIND_DATAW data;
    kv::UniqueFind find(::FindFirstFileW(path.c_str(), &data));
    return find.valid() && !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Path::createDirectories(const std::wstring& path, size_t start,
                             SECURITY_ATTRIBUTES* securityAttributes) {
    size_t end = path.find(L'\\', start);
    for (;;) {
        const std::wstring prefix = path.substr(0, end);
        const DWORD existing = attributes(prefix);
        bool create = existing == INVALID_FILE_ATTRIBUTES;
        if (!create && (existing & FILE_ATTRIBUTE_REPARSE_POINT)) {
            if (!removeLink(prefix)) {
                return false;
            }
            create = true;
        }
        if (create && !createDirectory(prefix, securityAttributes) && !madeMeanwhile(prefix)) {
            return false;
        }
        if (end == std::wstring::npos) {
            return true;
        }
        end = path.find(L'\\', end + 1);
    }
}

bool Path::madeMeanwhile(const std::wstring& path) {
    // Processes that log to the same tree start together: another one may have made
    // this directory between our look and our CreateDirectoryW. A real directory made
    // that way will do; a link made that way will not.
    if (::GetLastError() != ERROR_ALREADY_EXISTS) {
        return false;
    }
    const DWORD now = attributes(path);
    return now != INVALID_FILE_ATTRIBUTES && (now & FILE_ATTRIBUTE_DIRECTORY) &&
           !(now & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool Path::moveFile(const std::wstring& from, const std::wstring& to) {
    return ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

bool Path::secureDirectory(const std::wstring& path, PSECURITY_DESCRIPTOR descriptor) {
    return ::SetFileSecurityW(path.c_str(),
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                  PROTECTED_DACL_SECURITY_INFORMATION,
                              descriptor) != FALSE;
}

bool Path::deleteFile(const std::wstring& path) {
    // Deleting a link could remove its target on some systems: a link stays.
    const DWORD existing = attributes(path);
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return false;
    }
    if (::DeleteFileW(path.c_str())) {
        return true;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        return true;
    }
    return ::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
}

DWORD Path::attributes(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str());
}

bool Path::removeLink(const std::wstring& path) {
    // The link is opened itself, not its target, and deleted through that handle.
    // A system that opens the target anyway (the handle shows no reparse point)
    // would delete the target instead: refuse there.
    kv::UniqueFile link(
        ::CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!link) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!::GetFileInformationByHandle(link.get(), &information) ||
        !(information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        ::SetLastError(ERROR_CANT_ACCESS_FILE);
        return false;
    }
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    return ::SetFileInformationByHandle(link.get(), FileDispositionInfo, &disposition, sizeof(disposition)) !=
           FALSE;
}

bool Path::createDirectory(const std::wstring& path, SECURITY_ATTRIBUTES* securityAttributes) {
    return ::CreateDirectoryW(path.c_str(), securityAttributes) != FALSE;
}

} // namespace KvZarnLogging::FileSystem
