#include "Store.h"

#include "kvtl/Handle.h"

#include <sddl.h>

#include <algorithm>
#include <cwctype>
#include <map>
#include <mutex>

namespace kv::ts20::store {

namespace {

std::mutex& rootLock() {
    static std::mutex lock;
    return lock;
}

std::wstring& configuredRoot() {
    static std::wstring folder;
    return folder;
}

std::wstring defaultRoot() {
    wchar_t system[MAX_PATH + 1] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH + 1);
    return std::wstring(system, length) + L"\\Tasks";
}

std::wstring lower(std::wstring text) {
    for (auto& c : text) {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    return text;
}

bool validName(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L".." || name.front() == L' ' || name.back() == L' ') {
        return false;
    }
    return name.find_first_of(L"<>:\"/|?*") == std::wstring::npos &&
           std::none_of(name.begin(), name.end(), [](wchar_t c) { return c < 32; });
}

HRESULT lastError() {
    const DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

} // namespace

std::wstring root() {
    std::lock_guard<std::mutex> guard(rootLock());
    return configuredRoot().empty() ? defaultRoot() : configuredRoot();
}

std::wstring setRoot(const std::wstring& folder) {
    std::lock_guard<std::mutex> guard(rootLock());
    return std::exchange(configuredRoot(), folder);
}

HRESULT resolve(const std::wstring& base, const std::wstring& path, std::vector<std::wstring>& names) {
    names.clear();
    std::wstring full = path;
    if (full.empty() || full.front() != L'\\') {
        full = base + L"\\" + path;
    }
    size_t start = 0;
    while (start < full.size()) {
        size_t end = full.find(L'\\', start);
        if (end == std::wstring::npos) {
            end = full.size();
        }
        const std::wstring name = full.substr(start, end - start);
        if (!name.empty()) {
            if (!validName(name)) {
                names.clear();
                return HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
            }
            names.push_back(name);
        }
        start = end + 1;
    }
    return S_OK;
}

std::wstring join(const std::vector<std::wstring>& names) {
    if (names.empty()) {
        return L"\\";
    }
    std::wstring result;
    for (const auto& name : names) {
        result += L"\\" + name;
    }
    return result;
}

std::wstring fileOf(const std::vector<std::wstring>& names) {
    std::wstring result = root();
    for (const auto& name : names) {
        result += L"\\" + name;
    }
    return result;
}

Kind kindOf(const std::vector<std::wstring>& names, std::wstring* storedName) {
    if (names.empty()) {
        return Kind::Folder;
    }
    WIN32_FIND_DATAW data;
    kv::UniqueFind find(FindFirstFileW(fileOf(names).c_str(), &data));
    if (!find) {
        return Kind::Missing;
    }
    if (storedName != nullptr) {
        *storedName = data.cFileName;
    }
    return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? Kind::Folder : Kind::Task;
}

HRESULT folderExists(const std::vector<std::wstring>& names) {
    std::vector<std::wstring> prefix;
    for (size_t i = 0; i < names.size(); ++i) {
        prefix.push_back(names[i]);
        if (kindOf(prefix) != Kind::Folder) {
            return HRESULT_FROM_WIN32(i + 1 == names.size() ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
        }
    }
    return S_OK;
}

HRESULT readTask(const std::vector<std::wstring>& names, std::wstring& xml) {
    if (names.empty()) {
        return E_INVALIDARG;
    }
    const HRESULT parents = folderExists(std::vector<std::wstring>(names.begin(), names.end() - 1));
    if (FAILED(parents)) {
        return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    }
    if (kindOf(names) != Kind::Task) {
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    kv::UniqueFile file(CreateFileW(fileOf(names).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) {
        return lastError();
    }
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.get(), &size)) {
        return lastError();
    }
    if (size.QuadPart > 16 * 1024 * 1024) {
        return HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
    }
    std::wstring text(static_cast<size_t>(size.QuadPart) / sizeof(wchar_t), L'\0');
    DWORD read = 0;
    if (!text.empty() && !ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)),
                                   &read, nullptr)) {
        return lastError();
    }
    text.resize(read / sizeof(wchar_t));
    if (!text.empty() && text.front() == 0xFEFF) {
        text.erase(0, 1);
    }
    xml = std::move(text);
    return S_OK;
}

HRESULT writeTask(const std::vector<std::wstring>& names, const std::wstring& xml) {
    if (names.empty()) {
        return E_INVALIDARG;
    }
    const std::wstring path = fileOf(names);
    // Written beside the task and moved over it, so that a reader never sees half a task.
    const std::wstring temporary = path + L".kv-new";
    {
        kv::UniqueFile file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            return lastError();
        }
        const std::wstring content = L"\xFEFF" + xml;
        DWORD written = 0;
        const DWORD bytes = static_cast<DWORD>(content.size() * sizeof(wchar_t));
        if (!WriteFile(file.get(), content.data(), bytes, &written, nullptr) || written != bytes) {
            const HRESULT hr = lastError();
            file.reset();
            DeleteFileW(temporary.c_str());
            return hr;
        }
    }
    if (!MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const HRESULT hr = lastError();
        DeleteFileW(temporary.c_str());
        return hr;
    }
    return S_OK;
}

HRESULT deleteTask(const std::vector<std::wstring>& names) {
    return DeleteFileW(fileOf(names).c_str()) ? S_OK : lastError();
}

HRESULT createFolder(const std::vector<std::wstring>& names) {
    std::vector<std::wstring> prefix;
    for (const auto& name : names) {
        prefix.push_back(name);
        if (kindOf(prefix) == Kind::Folder) {
            continue;
        }
        if (!CreateDirectoryW(fileOf(prefix).c_str(), nullptr)) {
            return lastError();
        }
    }
    return S_OK;
}

HRESULT deleteFolder(const std::vector<std::wstring>& names) {
    std::vector<std::wstring> content;
    HRESULT hr = list(names, false, content);
    if (SUCCEEDED(hr) && content.empty()) {
        hr = list(names, true, content);
    }
    if (FAILED(hr)) {
        return hr;
    }
    if (!content.empty()) {
        return HRESULT_FROM_WIN32(ERROR_DIR_NOT_EMPTY);
    }
    if (!RemoveDirectoryW(fileOf(names).c_str())) {
        return lastError();
    }
    writeSecurity(names, L"");
    return S_OK;
}

HRESULT list(const std::vector<std::wstring>& folder, bool folders, std::vector<std::wstring>& names) {
    names.clear();
    const HRESULT exists = folderExists(folder);
    if (FAILED(exists)) {
        return exists;
    }
    WIN32_FIND_DATAW data;
    kv::UniqueFind find(FindFirstFileW((fileOf(folder) + L"\\*").c_str(), &data));
    if (!find) {
        return S_OK;
    }
    do {
        const std::wstring name = data.cFileName;
        const bool directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool temporary = name.size() > 7 && name.compare(name.size() - 7, 7, L".kv-new") == 0;
        if (name != L"." && name != L".." && directory == folders && !temporary) {
            names.push_back(name);
        }
    } while (FindNextFileW(find.get(), &data));
    std::sort(names.begin(), names.end(),
              [](const std::wstring& a, const std::wstring& b) { return lower(a) < lower(b); });
    return S_OK;
}

HRESULT checkSddl(const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        return lastError();
    }
    LocalFree(descriptor);
    return S_OK;
}

// Descriptors live as long as the process: nothing outside a test process reads them.
std::map<std::wstring, std::wstring>& descriptors() {
    static std::map<std::wstring, std::wstring> stored;
    return stored;
}

std::wstring readSecurity(const std::vector<std::wstring>& names) {
    const std::wstring key = lower(fileOf(names));
    std::lock_guard<std::mutex> guard(rootLock());
    const auto found = descriptors().find(key);
    return found == descriptors().end() ? std::wstring() : found->second;
}

void writeSecurity(const std::vector<std::wstring>& names, const std::wstring& sddl) {
    const std::wstring key = lower(fileOf(names));
    std::lock_guard<std::mutex> guard(rootLock());
    if (sddl.empty()) {
        descriptors().erase(key);
    } else {
        descriptors()[key] = sddl;
    }
}

} // namespace kv::ts20::store
