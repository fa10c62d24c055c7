#pragma once

#include <windows.h>

#include "kvtl/Handle.h"
#include "logging/Config.h"
#include "logging/FileSystem.h"
#include "logging/Security.h"

#include <memory>
#include <string>

namespace KvZarnLogging {

// Where one log lives: the directory chain below the logging root, its security
// and the file names of the current log and its backups.
class FileContextBase {
public:
    FileContextBase(std::unique_ptr<FileSystem::Path> paths, std::wstring nameSpace, std::wstring component,
                    std::wstring fileStem, unsigned flags);
    virtual ~FileContextBase();
    FileContextBase(const FileContextBase&) = delete;
    FileContextBase& operator=(const FileContextBase&) = delete;

    // First call only: reads the token, chooses the root and security, creates
    // the directories. False on later calls and when the directories fail.
    virtual bool init();
    // Moves backup k to k + 1 and the current file to backup 1, the oldest backup
    // (count) dropping out. Either every move happens or, when one fails, none:
    // false then, and every file stays where it was.
    virtual bool rotate(int count);
    // Creates <root>\Korvane\...\Log\<component> and sets basePath; the root
    // itself is never created or checked. On failure basePath stays empty.
    virtual bool buildPath(const std::wstring& root, bool admin);
    // basePath + ".log" for index 0, basePath + "." + index + ".log" otherwise.
    virtual std::wstring fileName(int index) const;

    // Makes the directory chain real again before a file of it is opened or
    // moved: a directory swapped for a junction or link since the last look is
    // replaced, or the chain is refused (false).
    bool checkChain();

    const std::wstring& basePath() const noexcept { return basePath_; }
    bool isAdmin() const noexcept { return isAdmin_; }
    bool isLowIntegrity() const noexcept { return isLowIntegrity_; }

protected:
    // The facts of the caller's effective token that choose root, ACL and mutex.
    virtual TokenFacts identify();

    std::unique_ptr<FileSystem::Path> paths_;
    std::wstring namespaceName_;
    std::wstring component_;
    std::wstring fileStem_;
    unsigned flags_;
    bool initialised_ = false;
    std::wstring basePath_;
    std::wstring directory_;
    size_t chainStart_ = 0;
    SecurityAttributes securityAttributes_;
    bool isAdmin_ = false;
    bool isLowIntegrity_ = false;
};

// One open log file: shared appending under a named mutex held for at most
// 500 ms per write, size-limited rotation to two backups, and the per-file
// configuration. Used only under the logger's lock.
class FileContext : public FileContextBase {
public:
    static constexpr DWORD MutexWaitMs = 500;

    FileContext(std::unique_ptr<FileSystem::Path> paths, std::wstring nameSpace, std::wstring component,
                std::wstring fileStem, int defaultLevel, unsigned flags);
    ~FileContext() override;

    // Re-reads the size limit; the first call also sets up directories and
    // mutex and answers true (the logger then writes the start header).
    virtual bool open();
    // Writes the bytes under the mutex, whole or not at all. A line is dropped and
    // counted when the mutex is not acquired in time, no file can be used or the
    // write fails; after a short write the next line starts on a line of its own.
    virtual void write(const char* bytes, size_t count);
    virtual void flush();
    // "LogLevel" for this component and file, default the level given to open.
    virtual int logLevel();
    // "DebugOutputLogging" for this component and file.
    virtual bool debugOutputEnabled();
    // Makes sure a file below the size limit is open, rotating when needed. A
    // current file that cannot be opened rotates nothing: false.
    virtual bool prepareFile();
    // Renames the file to <path>__delete_<tick> and deletes it.
    virtual void removeFile(const std::wstring& path);
    // "Local\KvZarnLogging_" or "Global\KvZarnLogging_" + basePath with every
    // backslash replaced by "_".
    virtual std::wstring mutexName(bool useLocal) const;

    unsigned long long maxSize() const noexcept { return maxSize_; }
    HANDLE mutex() const noexcept { return mutex_.get(); }
    unsigned long long droppedLines() const noexcept { return droppedLines_; }

private:
    bool acquire();
    void release();
    // Writes at lineStart_; on failure cuts the file back to it.
    bool writeWhole(const char* bytes, DWORD count);

    int defaultLevel_;
    unsigned long long maxSize_ = 50000;
    std::unique_ptr<FileSystem::File> file_;
    // Declared after file_: the mutex handle is closed before the file.
    kv::UniqueHandle mutex_;
    unsigned long long droppedLines_ = 0;
    // Where the next line starts; a torn line that could not be cut off leaves
    // pendingBreak_ set until a line break follows it.
    unsigned long long lineStart_ = 0;
    bool pendingBreak_ = false;
};

} // namespace KvZarnLogging
