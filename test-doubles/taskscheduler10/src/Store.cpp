#include "Store.h"

#include "kvtl/Handle.h"
#include "taskscheduler10/TaskScheduler10Double.h"

#include <cstring>

namespace kv::doubles::ts10 {

namespace {

constexpr char magic[4] = {'K', 'V', 'J', '1'};
constexpr std::uint32_t formatVersion = 1;

class Writer {
public:
    void u32(std::uint32_t value) { raw(&value, sizeof(value)); }
    void u64(std::uint64_t value) { raw(&value, sizeof(value)); }
    void text(const std::wstring& value) {
        u32(static_cast<std::uint32_t>(value.size()));
        raw(value.data(), value.size() * sizeof(wchar_t));
    }
    void bytes(const std::vector<BYTE>& value) {
        u32(static_cast<std::uint32_t>(value.size()));
        raw(value.data(), value.size());
    }
    void raw(const void* data, size_t size) {
        const auto* begin = static_cast<const BYTE*>(data);
        buffer.insert(buffer.end(), begin, begin + size);
    }
    std::vector<BYTE> buffer;
};

// Every read checks the remaining length; the first short read marks the whole
// record bad.
class Reader {
public:
    explicit Reader(const std::vector<BYTE>& buffer) : buffer_(buffer) {}
    std::uint32_t u32() {
        std::uint32_t value = 0;
        raw(&value, sizeof(value));
        return value;
    }
    std::uint64_t u64() {
        std::uint64_t value = 0;
        raw(&value, sizeof(value));
        return value;
    }
    std::wstring text() {
        const std::uint32_t length = u32();
        if (!ok_ || length > remaining() / sizeof(wchar_t)) {
            ok_ = false;
            return {};
        }
        std::wstring value(length, L'\0');
        raw(value.data(), length * sizeof(wchar_t));
        return value;
    }
    std::vector<BYTE> bytes() {
        const std::uint32_t length = u32();
        if (!ok_ || length > remaining()) {
            ok_ = false;
            return {};
        }
        std::vector<BYTE> value(length);
        raw(value.data(), length);
        return value;
    }
    void raw(void* data, size_t size) {
        if (!ok_ || size > remaining()) {
            ok_ = false;
            return;
        }
        std::memcpy(data, buffer_.data() + offset_, size);
        offset_ += size;
    }
    bool ok() const { return ok_; }
    bool atEnd() const { return offset_ == buffer_.size(); }

private:
    size_t remaining() const { return buffer_.size() - offset_; }
    const std::vector<BYTE>& buffer_;
    size_t offset_ = 0;
    bool ok_ = true;
};

std::vector<BYTE> encode(const JobFile& job) {
    Writer out;
    out.raw(magic, sizeof(magic));
    out.u32(formatVersion);
    const Definition& d = job.definition;
    out.text(d.application);
    out.text(d.parameters);
    out.text(d.workingDirectory);
    out.text(d.comment);
    out.text(d.creator);
    out.text(d.account);
    out.u32(d.accountSet ? 1 : 0);
    out.bytes(d.data);
    out.u32(d.priority);
    out.u32(d.flags);
    out.u32(d.taskFlags);
    out.u32(d.maxRunTime);
    out.u32(d.idleMinutes);
    out.u32(d.deadlineMinutes);
    out.u32(static_cast<std::uint32_t>(d.triggers.size()));
    for (const TriggerRecord& trigger : d.triggers) {
        out.raw(&trigger.trigger, sizeof(trigger.trigger));
        out.u32(trigger.set ? 1 : 0);
    }
    const RunState& r = job.run;
    out.u32(r.hasRun ? 1 : 0);
    out.u32(r.terminated ? 1 : 0);
    out.u32(r.processId);
    out.u64(r.processCreation);
    out.raw(&r.lastRun, sizeof(r.lastRun));
    out.u32(static_cast<std::uint32_t>(r.forcedStatus));
    return out.buffer;
}

bool decode(const std::vector<BYTE>& buffer, JobFile& job) {
    Reader in(buffer);
    char header[sizeof(magic)] = {};
    in.raw(header, sizeof(header));
    if (!in.ok() || std::memcmp(header, magic, sizeof(magic)) != 0 || in.u32() != formatVersion) {
        return false;
    }
    JobFile result;
    Definition& d = result.definition;
    d.application = in.text();
    d.parameters = in.text();
    d.workingDirectory = in.text();
    d.comment = in.text();
    d.creator = in.text();
    d.account = in.text();
    d.accountSet = in.u32() != 0;
    d.data = in.bytes();
    d.priority = in.u32();
    d.flags = in.u32();
    d.taskFlags = in.u32();
    d.maxRunTime = in.u32();
    d.idleMinutes = static_cast<WORD>(in.u32());
    d.deadlineMinutes = static_cast<WORD>(in.u32());
    const std::uint32_t count = in.u32();
    if (!in.ok() || count > 0xFFFF) {
        return false;
    }
    for (std::uint32_t i = 0; i < count && in.ok(); ++i) {
        TriggerRecord trigger;
        in.raw(&trigger.trigger, sizeof(trigger.trigger));
        trigger.set = in.u32() != 0;
        d.triggers.push_back(trigger);
    }
    RunState& r = result.run;
    r.hasRun = in.u32() != 0;
    r.terminated = in.u32() != 0;
    r.processId = in.u32();
    r.processCreation = in.u64();
    in.raw(&r.lastRun, sizeof(r.lastRun));
    r.forcedStatus = static_cast<HRESULT>(in.u32());
    if (!in.ok() || !in.atEnd()) {
        return false;
    }
    job = std::move(result);
    return true;
}

std::wstring environmentValue(const wchar_t* name) {
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
    return length > 0 && length < buffer.size() ? std::wstring(buffer.data(), length) : std::wstring();
}

std::wstring registryValue(const wchar_t* name) {
    std::vector<wchar_t> buffer(32768);
    DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (RegGetValueW(HKEY_LOCAL_MACHINE, configKey, name, RRF_RT_REG_SZ, nullptr, buffer.data(), &size) !=
        ERROR_SUCCESS) {
        return {};
    }
    return std::wstring(buffer.data());
}

bool endsWithJob(const std::wstring& name) {
    return name.size() > 4 && _wcsicmp(name.c_str() + name.size() - 4, L".job") == 0;
}

} // namespace

std::wstring tasksFolder() {
    std::wstring folder = environmentValue(tasksFolderVariable);
    if (folder.empty()) {
        folder = registryValue(tasksFolderValue);
    }
    if (folder.empty()) {
        wchar_t windows[MAX_PATH + 1] = {};
        const UINT length = GetWindowsDirectoryW(windows, MAX_PATH + 1);
        folder = std::wstring(windows, length <= MAX_PATH ? length : 0) + L"\\Tasks";
    }
    return folder;
}

std::wstring jobFilePath(const std::wstring& folder, const std::wstring& name) {
    return folder + L"\\" + name + L".job";
}

bool validName(const wchar_t* name) {
    if (name == nullptr || *name == L'\0') {
        return false;
    }
    for (const wchar_t* c = name; *c != L'\0'; ++c) {
        if (*c < 0x20 || std::wcschr(L"\\/:*?\"<>|", *c) != nullptr) {
            return false;
        }
    }
    return true;
}

void ensureFolder(const std::wstring& folder) {
    if (GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return;
    }
    const size_t separator = folder.find_last_of(L'\\');
    if (separator != std::wstring::npos && separator > 2) {
        ensureFolder(folder.substr(0, separator));
    }
    CreateDirectoryW(folder.c_str(), nullptr);
}

HRESULT readJob(const std::wstring& path, JobFile& job) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        return HRESULT_FROM_WIN32(error == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : error);
    }
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > 64 * 1024 * 1024) {
        return SCHED_E_UNKNOWN_OBJECT_VERSION;
    }
    std::vector<BYTE> buffer(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!buffer.empty() &&
        (!ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) ||
         read != buffer.size())) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    return decode(buffer, job) ? S_OK : SCHED_E_UNKNOWN_OBJECT_VERSION;
}

HRESULT writeJob(const std::wstring& path, const JobFile& job) {
    const size_t separator = path.find_last_of(L'\\');
    if (separator != std::wstring::npos) {
        ensureFolder(path.substr(0, separator));
    }
    const std::vector<BYTE> buffer = encode(job);
    const std::wstring temporary = path + L".tmp" + std::to_wstring(GetCurrentProcessId());
    {
        UniqueFile file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            return HRESULT_FROM_WIN32(GetLastError());
        }
        DWORD written = 0;
        if (!WriteFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &written, nullptr) ||
            written != buffer.size() || !FlushFileBuffers(file.get())) {
            const HRESULT result = HRESULT_FROM_WIN32(GetLastError());
            file.reset();
            DeleteFileW(temporary.c_str());
            return result;
        }
    }
    if (!MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const HRESULT result = HRESULT_FROM_WIN32(GetLastError());
        DeleteFileW(temporary.c_str());
        return result;
    }
    return S_OK;
}

std::vector<std::wstring> listJobs(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) {
        return names;
    }
    do {
        // "*.job" would also match longer extensions through short names on
        // Windows; the suffix is checked exactly instead.
        const std::wstring name = data.cFileName;
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && endsWithJob(name)) {
            names.push_back(name);
        }
    } while (FindNextFileW(find.get(), &data));
    return names;
}

StoreLock::StoreLock() : mutex_(CreateMutexW(nullptr, FALSE, L"Local\\KvTaskScheduler10DoubleStore")) {
    if (mutex_ != nullptr) {
        WaitForSingleObject(mutex_, 10000);
    }
}

StoreLock::~StoreLock() {
    if (mutex_ != nullptr) {
        ReleaseMutex(mutex_);
        CloseHandle(mutex_);
    }
}

bool processAlive(const RunState& run) {
    if (run.processId == 0) {
        return false;
    }
    UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, run.processId));
    if (!process) {
        return false;
    }
    FILETIME creation = {}, exit = {}, kernel = {}, user = {};
    if (!GetProcessTimes(process.get(), &creation, &exit, &kernel, &user)) {
        return false;
    }
    const std::uint64_t created = (std::uint64_t{creation.dwHighDateTime} << 32) | creation.dwLowDateTime;
    return created == run.processCreation && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

HRESULT forceStatus(const std::wstring& folder, const std::wstring& name, HRESULT status) {
    if (!validName(name.c_str())) {
        return E_INVALIDARG;
    }
    StoreLock lock;
    const std::wstring path = jobFilePath(folder, name);
    JobFile job;
    const HRESULT read = readJob(path, job);
    if (FAILED(read)) {
        return read;
    }
    job.run.forcedStatus = status;
    return writeJob(path, job);
}

} // namespace kv::doubles::ts10
