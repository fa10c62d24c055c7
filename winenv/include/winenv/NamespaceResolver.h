#pragma once

#include <windows.h>

#include "winenv/ShellFolders.h"

#include <map>
#include <string>

// Finds the product namespace of an installed module from where its file lies:
// first from the install directories registered for each namespace, then from a
// "namespace.txt" beside it or in a parent directory below a program files folder.
// An empty answer means no namespace (the default one). Nothing is logged or thrown;
// what stood in the way of a namespace (a file that could not be read, a refused name,
// a key that could not be listed) is kept for the caller to report. Every step is
// virtual so that a test can replace it.
class NamespaceResolver {
public:
    NamespaceResolver() = default;
    virtual ~NamespaceResolver();

    // Namespace name -> install directory with a trailing backslash, from
    // HKLM\SOFTWARE\Korvane\NS\<name>\Corelane "InstallPath" in the 32-bit view;
    // empty values are left out and the first value of a name wins.
    virtual std::map<std::wstring, std::wstring> getInstallPaths();

    // Reads namespace.txt in each directory above startPath, from its own directory
    // up to stopDirectory inclusive; the first non-empty answer wins. startPath itself
    // is never searched.
    virtual std::wstring findNamespace(const std::wstring& startPath, const std::wstring& stopDirectory);

    // directory\namespace.txt: UTF-16LE text after the FF FE mark within its first 512
    // bytes, taken as it is; empty without the mark or with 2 bytes or less.
    virtual std::wstring readNamespaceFile(const std::wstring& directory);

    // The native program files folder ("ProgramFilesDir", 64-bit view).
    virtual std::wstring getProgramFilesDir();
    // The 32-bit program files folder (getFolderPath of ProgramFilesX86).
    virtual std::wstring getProgramFilesX86Dir();

    // Whether path lies below the program files folder of that kind (ProgramFiles or
    // ProgramFilesX86), compared without regard to case; baseDirectory receives the
    // folder with a trailing backslash when it does.
    virtual bool isUnderProgramFiles(const std::wstring& path, FolderId kind, std::wstring& baseDirectory);

    // The namespace of the module's file (null: the executable).
    std::wstring resolveNamespace(HMODULE module);

    // The namespace of a file path: registered install directories first (the
    // longest matching one wins), then namespace.txt. A name holding a backslash, a
    // slash, a period or a control character is refused (empty answer).
    std::wstring namespaceForPath(const std::wstring& path);

    // The namespace whose install directory is the longest case-insensitive prefix of path.
    std::wstring namespaceFromInstallPaths(const std::wstring& path);

    // namespace.txt from the path's directory up to the first directory below the
    // program files folder (native first, then 32-bit) that contains the path.
    std::wstring namespaceFromProgramFiles(const std::wstring& path);

    // Why the last namespaceForPath answered no namespace, when something stood in its
    // way (the first such thing met); empty when nothing did or a namespace was found.
    const std::wstring& problem() const { return problem_; }

protected:
    // Keeps the first problem of a resolution.
    void noteProblem(const std::wstring& text);

private:
    std::wstring problem_;
    std::wstring nameSource_; // where the last name found came from
};

// The namespace of the module (null: the executable), cached for the process: a
// non-empty answer is computed once, an empty one again on every call. Thread-safe.
std::wstring getCurrentNamespace(HMODULE module = nullptr);

// The problem() of the resolution behind getCurrentNamespace's last empty answer;
// empty once a namespace was found.
std::wstring getCurrentNamespaceProblem();
