#include <windows.h>

#include "winenv/ShellFolders.h"

#include "kvtl/Handle.h"
#include "winenv/Registry.h"
#include "winenv/SystemLibrary.h"

#include <iterator>

namespace {

constexpr wchar_t kShellFoldersKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr wchar_t kCurrentVersionKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr wchar_t kProfileListKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr wchar_t kUserProfileVariable[] = L"%USERPROFILE%";
constexpr int kNoCsidl = 255;
constexpr DWORD kMaxExpandedLength = 32767;

enum class Source { ShellFolders, CurrentVersion, UserProfile, Nothing };

struct Folder {
    FolderId id;
    const wchar_t* valueName;
    Source source;
    int csidl;
};

// Indexed by identifier; identifiers above 7 are read from the user's hive.
constexpr Folder kFolders[] = {
    {FolderId::CommonAppData, L"Common AppData", Source::ShellFolders, 0x23},
    {FolderId::CommonDesktop, L"Common Desktop", Source::ShellFolders, 0x19},
    {FolderId::CommonStartMenu, L"Common Start Menu", Source::ShellFolders, 0x16},
    {FolderId::CommonPrograms, L"Common Programs", Source::ShellFolders, 0x17},
    {FolderId::CommonStartup, L"Common Startup", Source::ShellFolders, 0x18},
    {FolderId::ProgramFiles, L"ProgramFilesDir", Source::CurrentVersion, 0x26},
    {FolderId::ProgramFilesX86, L"ProgramFilesDir (x86)", Source::CurrentVersion, 0x2A},
    {FolderId::None, nullptr, Source::Nothing, kNoCsidl},
    {FolderId::AppData, L"AppData", Source::ShellFolders, 0x1A},
    {FolderId::LocalAppData, L"Local AppData", Source::ShellFolders, 0x1C},
    {FolderId::Desktop, L"Desktop", Source::ShellFolders, 0x00},
    {FolderId::Personal, L"Personal", Source::ShellFolders, 0x05},
    {FolderId::MyPictures, L"My Pictures", Source::ShellFolders, 0x27},
    {FolderId::MyMusic, L"My Music", Source::ShellFolders, 0x0D},
    {FolderId::MyVideo, L"My Video", Source::ShellFolders, 0x0E},
    {FolderId::Favorites, L"Favorites", Source::ShellFolders, 0x06},
    {FolderId::StartMenu, L"Start Menu", Source::ShellFolders, 0x0B},
    {FolderId::Programs, L"Programs", Source::ShellFolders, 0x02},
    {FolderId::Startup, L"Startup", Source::ShellFolders, 0x07},
    {FolderId::Cache, L"Cache", Source::ShellFolders, 0x20},
    {FolderId::UserProfile, nullptr, Source::UserProfile, 0x28},
};

constexpr bool isIndexedById() {
    for (size_t i = 0; i < std::size(kFolders); ++i) {
        if (static_cast<size_t>(kFolders[i].id) != i) {
            return false;
        }
    }
    return true;
}
static_assert(isIndexedById(), "kFolders is looked up by identifier");

bool isPerUser(FolderId id) {
    return static_cast<std::uint32_t>(id) > static_cast<std::uint32_t>(FolderId::None);
}

wchar_t foldAscii(wchar_t c) {
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

// Environment variable names ignore letter case, so %userprofile% counts too.
size_t findUserProfileVariable(const std::wstring& text, size_t from) {
    const size_t length = std::size(kUserProfileVariable) - 1;
    for (size_t at = from; at + length <= text.size(); ++at) {
        size_t i = 0;
        while (i < length && foldAscii(text[at + i]) == kUserProfileVariable[i]) {
            ++i;
        }
        if (i == length) {
            return at;
        }
    }
    return std::wstring::npos;
}

// A SID string is one key name; a backslash would reach into another key.
bool isUsableSid(const std::wstring& userSid) {
    return !userSid.empty() && userSid.find(L'\\') == std::wstring::npos;
}

// The shell is loaded only here, from the system folder, and released at once.
std::wstring shellFolderPath(int csidl) {
    if (csidl == kNoCsidl) {
        return {};
    }
    const kv::UniqueModule shell = loadSystemLibrary(L"shell32.dll");
    if (!shell) {
        return {};
    }
    using GetFolderPathFunction = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
    const auto getFolderPathW =
        reinterpret_cast<GetFolderPathFunction>(::GetProcAddress(shell.get(), "SHGetFolderPathW"));
    if (getFolderPathW == nullptr) {
        return {};
    }
    wchar_t buffer[MAX_PATH] = {};
    if (getFolderPathW(nullptr, csidl, nullptr, 0, buffer) != S_OK) {
        return {};
    }
    buffer[MAX_PATH - 1] = L'\0';
    return buffer;
}

} // namespace

std::wstring getFolderPath(FolderId id) {
    return getFolderPath(id, std::wstring());
}

std::wstring getFolderPath(FolderId id, const std::wstring& userSid) {
    const auto index = static_cast<std::uint32_t>(id);
    if (index >= std::size(kFolders)) {
        return {};
    }
    const Folder& folder = kFolders[index];
    const bool forUser = !userSid.empty() && isPerUser(id);
    if (forUser && !isUsableSid(userSid)) {
        return {};
    }

    LightWin32Registry registry;
    std::wstring keyPath = kShellFoldersKey;
    if (isPerUser(id)) {
        if (forUser) {
            registry.setRoot(HKEY_USERS);
            keyPath = userSid + L"\\" + keyPath;
        } else {
            registry.setRoot(HKEY_CURRENT_USER);
        }
        registry.setSamFlags(KEY_WOW64_64KEY);
    }

    std::wstring path;
    switch (folder.source) {
        case Source::ShellFolders:
            registry.getString(keyPath, folder.valueName, path);
            break;
        case Source::CurrentVersion:
            if (!registry.getString(kCurrentVersionKey, folder.valueName, path) &&
                id == FolderId::ProgramFilesX86) {
                registry.getString(kCurrentVersionKey, L"ProgramFilesDir", path);
            }
            break;
        case Source::UserProfile:
            path = kUserProfileVariable;
            break;
        case Source::Nothing:
            return {};
    }

    if (forUser) {
        expandUserProfile(path, userSid);
        // Left in place, the variable would expand to the current user's profile.
        if (findUserProfileVariable(path, 0) != std::wstring::npos) {
            path.clear();
        }
    }
    expandEnvironmentInPlace(path);
    if (path.empty() && userSid.empty()) {
        path = shellFolderPath(folder.csidl);
    }
    return path;
}

std::wstring getModuleFileName(HMODULE module) {
    // Paths may exceed MAX_PATH; a result that fills the whole buffer may be cut short.
    constexpr DWORD kLimit = 1u << 16;
    for (DWORD size = 256; size <= kLimit; size *= 2) {
        std::wstring buffer(size, L'\0');
        const DWORD length = ::GetModuleFileNameW(module, buffer.data(), size);
        if (length == 0) {
            return {};
        }
        if (length < size) {
            buffer.resize(length);
            return buffer;
        }
    }
    return {};
}

std::wstring getModuleDirectory() {
    std::wstring directory;
    std::wstring name;
    splitPath(getModuleFileName(nullptr), directory, name);
    return directory;
}

std::wstring joinPath(const std::wstring& first, const std::wstring& second) {
    const size_t firstEnd = first.find_last_not_of(L'\\');
    const std::wstring head = firstEnd == std::wstring::npos ? std::wstring() : first.substr(0, firstEnd + 1);
    if (first.empty()) {
        return second;
    }
    if (second.empty()) {
        return head;
    }
    const size_t secondStart = second.find_first_not_of(L'\\');
    return head + L'\\' + (secondStart == std::wstring::npos ? std::wstring() : second.substr(secondStart));
}

bool splitPath(const std::wstring& path, std::wstring& directory, std::wstring& name) {
    directory.clear();
    name.clear();
    std::wstring text = path;
    if (!text.empty() && text.back() == L'\\') {
        text.pop_back();
    }
    if (text.empty()) {
        return false;
    }
    const size_t separator = text.rfind(L'\\');
    if (separator == 0) {
        return false;
    }
    if (separator == std::wstring::npos) {
        name = text;
        return true;
    }
    directory = text.substr(0, separator);
    name = text.substr(separator + 1);
    return true;
}

void expandEnvironmentInPlace(std::wstring& text) {
    std::wstring buffer(text.size() + 1, L'\0');
    for (;;) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD length = ::ExpandEnvironmentStringsW(text.c_str(), buffer.data(), size);
        // The platform expands into at most 32,767 characters with the NUL. It reports the
        // size of a longer text but never writes it, even into a buffer of that size.
        if (length == 0 || length > kMaxExpandedLength) {
            text.clear();
            return;
        }
        if (length <= size) {
            buffer.resize(length - 1);
            text = std::move(buffer);
            return;
        }
        buffer.assign(length, L'\0');
    }
}

void expandUserProfile(std::wstring& path, const std::wstring& userSid) {
    if (!isUsableSid(userSid)) {
        return;
    }
    LightWin32Registry registry;
    std::wstring profile;
    if (!registry.getString(std::wstring(kProfileListKey) + L"\\" + userSid, L"ProfileImagePath", profile) ||
        profile.empty()) {
        return;
    }
    const size_t length = std::size(kUserProfileVariable) - 1;
    std::wstring result = path;
    for (size_t at = findUserProfileVariable(result, 0); at != std::wstring::npos;
         at = findUserProfileVariable(result, at + profile.size())) {
        result.replace(at, length, profile);
    }
    if (result != path) {
        path = std::move(result);
    }
}
