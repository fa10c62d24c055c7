#pragma once

#include <windows.h>

#include "kvtl/Handle.h"

#include <memory>
#include <string>

// The file operations of the log files, behind virtual functions so that a test
// can stand in for what the platform cannot show (a junction, a directory ACL).
namespace KvZarnLogging::FileSystem {

// One log file handle. Every operation but open and isOpen does nothing (answers
// 0 or false) while the file is closed.
class File {
public:
    File() = default;
    virtual ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Opens or creates the file for shared reading and writing; fails for a
    // hard-linked file (refused() then answers true). True at once when already open.
    virtual bool open(const std::wstring& path, SECURITY_ATTRIBUTES* attributes);
    // True when the last open failed because the file was opened but refused,
    // not because it could not be opened.
    virtual bool refused() const;
    virtual void close();
    // One WriteFile at the file pointer; false unless every byte was written.
    virtual bool write(const void* bytes, DWORD count);
    // Cuts the file to size bytes and leaves the file pointer there.
    virtual bool truncate(unsigned long long size);
    // Size in bytes; moves the file pointer to the end, so the next write appends.
    virtual unsigned long long size();
    virtual bool flush();
    virtual bool isOpen() const;
    // False when the file begins with the UTF-16 byte-order mark FF FE.
    virtual bool isNarrowText() const;
    // False for a file with more than one hard link; reads the byte-order mark.
    virtual bool validate();

protected:
    bool narrowText_ = true;
    bool refused_ = false;
    kv::UniqueFile handle_;
};

// Operations on paths. The Win32 implementation is this class itself.
class Path {
public:
    Path() = default;
    virtual ~Path();
    Path(const Path&) = delete;
    Path& operator=(const Path&) = delete;

    // A new, closed File.
    virtual std::unique_ptr<File> createFile();
    // True when something that is not a directory exists at path.
    virtual bool fileExists(const std::wstring& path);
    // Creates every directory of path whose name ends at or after index start,
    // with the given security. A junction or symbolic link on the way is removed
    // (never followed) and replaced by a real directory; existing directories are
    // left as they are. False when a step fails.
    virtual bool createDirectories(const std::wstring& path, size_t start, SECURITY_ATTRIBUTES* attributes);
    // MoveFileExW with MOVEFILE_REPLACE_EXISTING.
    virtual bool moveFile(const std::wstring& from, const std::wstring& to);
    // Gives the existing directory the owner and DACL of the descriptor (its DACL
    // protected from inheritance). False when the system refuses.
    virtual bool secureDirectory(const std::wstring& path, PSECURITY_DESCRIPTOR descriptor);
    // True when the file is gone; a file that cannot be deleted now is scheduled
    // for deletion at the next reboot and the answer is that scheduling's.
    virtual bool deleteFile(const std::wstring& path);

protected:
    // The single steps of createDirectories.
    virtual DWORD attributes(const std::wstring& path);
    // Removes the junction or symbolic link at path itself; refuses (false) when
    // the system opens the link's target instead.
    virtual bool removeLink(const std::wstring& path);
    virtual bool createDirectory(const std::wstring& path, SECURITY_ATTRIBUTES* attributes);

private:
    // After a failed createDirectory: true when another process made the same real
    // directory just before us.
    bool madeMeanwhile(const std::wstring& path);
};

} // namespace KvZarnLogging::FileSystem
