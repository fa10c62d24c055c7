// The floor of the install benchmark: the platform calls that an AV-mode install run of
// install-wpu.exe makes in a warm prefix (the task and the plug-in already there, the
// host running, the default namespace), in the same order and with the same arguments,
// with nothing around them: no exceptions, no text conversion, no formatting beyond the
// log lines' own bytes, no registry or logging layer. Placed beside install-wpu.exe and
// started the same way, it writes the same log bytes to the same file, makes the same
// registry reads and writes, the same COM calls on the same Task Scheduler test service
// and the same host API calls. What the installer computes in its own memory (its C
// runtime calls, the conversions between UTF-8 and UTF-16) is left out.
#include <windows.h>
#include <objbase.h>
#include <sddl.h>
#include <shellapi.h>
#include <taskschd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <string>

namespace {

constexpr CLSID TaskSchedulerClass = {
    0x0F87369F, 0xA4E5, 0x4CFC, {0xBD, 0x3E, 0x73, 0xE6, 0x15, 0x45, 0x72, 0xDD}};
constexpr IID TaskServiceInterface = {
    0x2FABA4C7, 0x4DA9, 0x4013, {0x96, 0x97, 0x20, 0xCC, 0x3F, 0xD4, 0x0F, 0x85}};
constexpr IID ExecActionInterface = {
    0x4C3D624D, 0xFD6B, 0x49A3, {0xB9, 0xB7, 0x09, 0xCB, 0x3C, 0xD3, 0xF0, 0x47}};
constexpr IID TimeTriggerInterface = {
    0xB45747E0, 0xEBA7, 0x4276, {0x9F, 0x29, 0x85, 0xC5, 0xBB, 0x30, 0x00, 0x06}};

constexpr REGSAM Read32 = KEY_READ | KEY_WOW64_32KEY;
constexpr REGSAM Read64 = KEY_READ | KEY_WOW64_64KEY;
constexpr REGSAM Write64 = KEY_SET_VALUE | KEY_WOW64_64KEY;
constexpr wchar_t PluginKey[] = L"SOFTWARE\\Korvane\\NS\\wp_default\\Zarn\\Hoster\\Plugins\\WispWPUPlugin";
constexpr wchar_t ModuleKey[] = L"SOFTWARE\\Korvane\\Wisp\\modules\\wpupdater-win-arm64";
constexpr wchar_t LogFile[] = L"C:\\ProgramData\\Korvane\\Log\\Wisp\\install-wpupdater-win-arm64.log";

std::wstring directory; // of this program, without a trailing backslash
HANDLE logMutex = nullptr;
HANDLE logFile = INVALID_HANDLE_VALUE;
wchar_t module[64];
wchar_t title[256];
wchar_t version[64];

void closeKey(HKEY key) {
    if (key != nullptr) {
        RegCloseKey(key);
    }
}

void closeFile(HANDLE file) {
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
}

// The installer asks for its own path each time it needs its directory or namespace;
// the first answer gives this program's directory.
void moduleFileName() {
    wchar_t path[256];
    const DWORD length = GetModuleFileNameW(nullptr, path, 256);
    if (directory.empty()) {
        directory.assign(path, length);
        directory.resize(directory.find_last_of(L'\\'));
    }
}

// The namespace resolver without a namespace: registered install paths, the program
// files folder, namespace.txt in this directory and its parent.
void namespaceLookup() {
    moduleFileName();
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\NS", 0, Read32, &key) == ERROR_SUCCESS) {
        closeKey(key);
    }
    key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", 0, Read64, &key) ==
        ERROR_SUCCESS) {
        DWORD type = 0;
        DWORD size = 0;
        RegQueryValueExW(key, L"ProgramFilesDir", nullptr, &type, nullptr, &size);
        wchar_t value[MAX_PATH];
        size = sizeof(value);
        RegQueryValueExW(key, L"ProgramFilesDir", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
        closeKey(key);
    }
    const std::wstring parent = directory.substr(0, directory.find_last_of(L'\\'));
    for (const std::wstring& folder : {directory, parent}) {
        closeFile(CreateFileW((folder + L"\\namespace.txt").c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    }
}

void loggingConfiguration() {
    for (const wchar_t* path :
         {L"SOFTWARE\\Korvane\\Zarn\\Logging\\Wisp\\install-wpupdater-win-arm64",
          L"SOFTWARE\\Korvane\\Zarn\\Logging\\Wisp", L"SOFTWARE\\Korvane\\Zarn\\Logging"}) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key) ==
            ERROR_SUCCESS) {
            closeKey(key);
        }
    }
}

bool isAdministrator() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    BOOL member = FALSE;
    if (AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                 0, &administrators)) {
        CheckTokenMembership(nullptr, administrators, &member);
        FreeSid(administrators);
    }
    return member != FALSE;
}

void currentUser() {
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        BYTE user[256];
        if (GetTokenInformation(token, TokenUser, user, sizeof(user), &size)) {
            const PSID sid = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
            if (IsValidSid(sid)) {
                GetLengthSid(sid);
            }
        }
        CloseHandle(token);
    }
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    isAdministrator();
}

// One log line as the logger writes it: the time, then one write at the end of the file
// under the log's named mutex.
// The "Common AppData" value of a shell-folder key: its size, then its text.
void commonAppData(const wchar_t* path, REGSAM access) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, access, &key) != ERROR_SUCCESS) {
        return;
    }
    DWORD type = 0;
    DWORD size = 0;
    RegQueryValueExW(key, L"Common AppData", nullptr, &type, nullptr, &size);
    wchar_t value[MAX_PATH];
    size = sizeof(value);
    RegQueryValueExW(key, L"Common AppData", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    closeKey(key);
}

void writeLine(const char* text) {
    SYSTEMTIME time;
    GetLocalTime(&time);
    char line[1024];
    const int length = std::snprintf(
        line, sizeof(line), "%04d-%02d-%02d %02d:%02d:%02d.%03d [%04x.%04x] %s\r\n", time.wYear, time.wMonth,
        time.wDay, time.wHour, time.wMinute, time.wSecond, time.wMilliseconds,
        static_cast<unsigned>(GetCurrentProcessId()), static_cast<unsigned>(GetCurrentThreadId()), text);
    WaitForSingleObject(logMutex, 500);
    LARGE_INTEGER end;
    SetFilePointerEx(logFile, LARGE_INTEGER{}, &end, FILE_END);
    DWORD written = 0;
    WriteFile(logFile, line, static_cast<DWORD>(length), &written, nullptr);
    ReleaseMutex(logMutex);
}

std::string narrow(const wchar_t* text) {
    std::string result;
    for (; *text != 0; ++text) {
        result += static_cast<char>(*text);
    }
    return result;
}

PSECURITY_DESCRIPTOR directorySecurity = nullptr;

void openLog() {
    namespaceLookup();
    loggingConfiguration();
    isAdministrator();
    ConvertStringSecurityDescriptorToSecurityDescriptorA(
        "D:(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GRGX;;;AU)", SDDL_REVISION_1, &directorySecurity, nullptr);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\Zarn\\Logging", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key) == ERROR_SUCCESS) {
        closeKey(key);
    }
    commonAppData(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", KEY_QUERY_VALUE);
    for (const wchar_t* folder : {L"C:\\ProgramData\\Korvane", L"C:\\ProgramData\\Korvane\\Log",
                                  L"C:\\ProgramData\\Korvane\\Log\\Wisp"}) {
        GetFileAttributesW(folder);
    }
    PSECURITY_DESCRIPTOR mutexSecurity = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1,
                                                         &mutexSecurity, nullptr);
    SECURITY_ATTRIBUTES mutexAttributes = {sizeof(mutexAttributes), mutexSecurity, FALSE};
    logMutex =
        CreateMutexW(&mutexAttributes, FALSE,
                     L"Global\\KvZarnLogging_C:_ProgramData_Korvane_Log_Wisp_install-wpupdater-win-arm64");
    LocalFree(mutexSecurity);
    loggingConfiguration();
    loggingConfiguration();

    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    TIME_ZONE_INFORMATION zone;
    const DWORD zoneResult = GetTimeZoneInformation(&zone);
    const int offset = zoneResult == TIME_ZONE_ID_INVALID    ? 3599
                       : zoneResult == TIME_ZONE_ID_DAYLIGHT ? -(zone.Bias + zone.DaylightBias)
                                                             : -(zone.Bias + zone.StandardBias);

    // The file is opened at the first write: an empty line before the start marker.
    WaitForSingleObject(logMutex, 500);
    SECURITY_ATTRIBUTES fileAttributes = {sizeof(fileAttributes), directorySecurity, FALSE};
    logFile = CreateFileW(LogFile, GENERIC_READ | GENERIC_WRITE, 7, &fileAttributes, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    BY_HANDLE_FILE_INFORMATION information;
    GetFileInformationByHandle(logFile, &information);
    char head[2];
    DWORD read = 0;
    ReadFile(logFile, head, 2, &read, nullptr);
    LARGE_INTEGER end;
    SetFilePointerEx(logFile, LARGE_INTEGER{}, &end, FILE_END);
    DWORD written = 0;
    WriteFile(logFile, "\r\n", 2, &written, nullptr);
    ReleaseMutex(logMutex);

    char marker[128];
    std::snprintf(marker, sizeof(marker), " I: ***  LOGGING STARTED  *** (UTC%+02d:%02d, session: 0x%x)",
                  offset / 60, offset - offset / 60 * 60, static_cast<unsigned>(session));
    writeLine(marker);
}

void crashHooks() {
    commonAppData(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders", KEY_READ);
    wchar_t expanded[MAX_PATH];
    ExpandEnvironmentStringsW(L"%ProgramData%", expanded, 14);
    ExpandEnvironmentStringsW(L"%ProgramData%", expanded, 15);
    writeLine(" I: CrashHandler::RegisterCrashHooks: Hooking crash");
    writeLine(" I: CrashHandler::RegisterCrashHooks: Dump path: "
              "'C:\\ProgramData\\Korvane\\CrashDumps\\install-wpupdater-win-arm64.dmp'");
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS);
    std::signal(SIGABRT, [](int) {});
    SetUnhandledExceptionFilter([](EXCEPTION_POINTERS*) -> LONG { return EXCEPTION_CONTINUE_SEARCH; });
    RegisterApplicationRecoveryCallback([](PVOID) -> DWORD { return 0; }, nullptr, 5000, 0);
}

void environment(const wchar_t* name, wchar_t* value, DWORD size) {
    GetEnvironmentVariableW(name, nullptr, 0);
    GetEnvironmentVariableW(name, value, size);
}

void readKey(const wchar_t* path, const wchar_t* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, Read64, &key) == ERROR_SUCCESS) {
        DWORD type = 0;
        DWORD size = 0;
        RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
        closeKey(key);
    }
}

void createKeyPath(const std::wstring& path) {
    for (size_t end = path.find(L'\\', path.find(L'\\') + 1);; end = path.find(L'\\', end + 1)) {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.substr(0, end).c_str(), 0, nullptr, 0,
                            KEY_CREATE_SUB_KEY | KEY_WOW64_64KEY, nullptr, &key, nullptr) == ERROR_SUCCESS) {
            closeKey(key);
        }
        if (end == std::wstring::npos) {
            break;
        }
    }
}

void setValue(const wchar_t* path, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, Write64, &key) == ERROR_SUCCESS) {
        RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
        closeKey(key);
    }
}

void setString(const wchar_t* path, const wchar_t* name, const std::wstring& value) {
    setValue(path, name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

BSTR text(const wchar_t* value) {
    return SysAllocStringLen(value, static_cast<UINT>(std::wcslen(value)));
}

// The scheduled task as the Task Scheduler 2.0 backend sets it up for an existing task.
void scheduledTask() {
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    version.dwMajorVersion = 6;
    version.dwMinorVersion = 1;
    ULONGLONG condition = 0;
    condition = VerSetConditionMask(condition, VER_MAJORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_MINORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    VerifyVersionInfoW(&version, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, condition);

    ITaskService* service = nullptr;
    if (FAILED(CoCreateInstance(TaskSchedulerClass, nullptr, CLSCTX_INPROC_SERVER, TaskServiceInterface,
                                reinterpret_cast<void**>(&service)))) {
        std::fprintf(stderr, "install-floor: no Task Scheduler service\n");
        return;
    }
    VARIANT empty;
    VariantInit(&empty);
    service->Connect(empty, empty, empty, empty);
    BSTR folderPath = text(L"\\Korvane");
    ITaskFolder* folder = nullptr;
    service->GetFolder(folderPath, &folder);
    SysFreeString(folderPath);
    BSTR name = text(L"Wisp Updater");
    IRegisteredTask* existing = nullptr;
    folder->GetTask(name, &existing);
    SysFreeString(name);
    ITaskDefinition* definition = nullptr;
    service->NewTask(0, &definition);

    IActionCollection* actions = nullptr;
    definition->get_Actions(&actions);
    LONG count = 0;
    actions->get_Count(&count);
    IAction* action = nullptr;
    actions->Create(TASK_ACTION_EXEC, &action);
    IExecAction* exec = nullptr;
    action->QueryInterface(ExecActionInterface, reinterpret_cast<void**>(&exec));
    BSTR command = text((directory + L"\\wpu.exe").c_str());
    exec->put_Path(command);
    SysFreeString(command);
    exec->Release();
    action->Release();
    actions->Release();

    ITaskSettings* settings = nullptr;
    definition->get_Settings(&settings);
    settings->put_Priority(1);
    settings->Release();

    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto precise = reinterpret_cast<void(WINAPI*)(FILETIME*)>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime")));
    FILETIME now;
    precise(&now);
    const ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32 | now.dwLowDateTime) +
                            6000000000ULL - 116444736000000000ULL;

    ITriggerCollection* triggers = nullptr;
    definition->get_Triggers(&triggers);
    triggers->get_Count(&count);
    ITrigger* created = nullptr;
    triggers->Create(TASK_TRIGGER_TIME, &created);
    ITimeTrigger* trigger = nullptr;
    created->QueryInterface(TimeTriggerInterface, reinterpret_cast<void**>(&trigger));
    BSTR id = text(L"trigger1");
    trigger->put_Id(id);
    SysFreeString(id);
    const std::time_t start = static_cast<std::time_t>(ticks / 10000000ULL);
    std::tm local = {};
    localtime_s(&local, &start);
    wchar_t boundary[64];
    std::swprintf(boundary, 64, L"%04d-%02d-%02dT%02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    BSTR startBoundary = text(boundary);
    trigger->put_StartBoundary(startBoundary);
    SysFreeString(startBoundary);
    IRepetitionPattern* repetition = nullptr;
    trigger->get_Repetition(&repetition);
    BSTR interval = text(L"PT10M");
    repetition->put_Interval(interval);
    SysFreeString(interval);
    repetition->Release();
    trigger->Release();
    created->Release();
    triggers->Release();

    IRegistrationInfo* info = nullptr;
    definition->get_RegistrationInfo(&info);
    BSTR author = text(L"korvane scheduled task");
    info->put_Author(author);
    SysFreeString(author);
    info->Release();
    IPrincipal* principal = nullptr;
    definition->get_Principal(&principal);
    principal->put_LogonType(TASK_LOGON_INTERACTIVE_TOKEN);
    principal->Release();
    definition->get_Settings(&settings);
    settings->put_MultipleInstances(TASK_INSTANCES_IGNORE_NEW);
    BSTR limit = text(L"P3D");
    settings->put_ExecutionTimeLimit(limit);
    SysFreeString(limit);
    settings->put_DisallowStartIfOnBatteries(VARIANT_FALSE);
    settings->put_RunOnlyIfNetworkAvailable(VARIANT_TRUE);
    settings->Release();
    definition->get_Principal(&principal);
    principal->put_LogonType(TASK_LOGON_SERVICE_ACCOUNT);
    BSTR system = text(L"NT AUTHORITY\\SYSTEM");
    principal->put_GroupId(system);
    SysFreeString(system);
    principal->Release();

    VARIANT security;
    VariantInit(&security);
    security.vt = VT_BSTR;
    security.bstrVal = text(L"D:(A;;FA;;;BA)(A;;FA;;;SY)");
    name = text(L"Wisp Updater");
    IRegisteredTask* registered = nullptr;
    folder->RegisterTaskDefinition(name, definition,
                                   TASK_CREATE_OR_UPDATE | TASK_IGNORE_REGISTRATION_TRIGGERS, empty, empty,
                                   TASK_LOGON_SERVICE_ACCOUNT, security, &registered);
    SysFreeString(name);
    VariantClear(&security);
    VARIANT none;
    VariantInit(&none);
    none.vt = VT_NULL;
    registered->Run(none, nullptr);

    registered->Release();
    definition->Release();
    if (existing != nullptr) {
        existing->Release();
    }
    folder->Release();
    service->Release();
}

// The plug-in key, then the host API library as the delay-load resolver finds and binds it.
void plugin() {
    namespaceLookup();
    createKeyPath(PluginKey);
    setString(PluginKey, L"DllName", directory + L"\\kv_wpu_hoster_plugin64.dll");
    setString(PluginKey, L"Name", L"WispWPUPlugin");
    const DWORD hosterId = 0;
    setValue(PluginKey, L"HosterId", REG_DWORD, &hosterId, sizeof(hosterId));

    namespaceLookup();
    HKEY key = nullptr;
    wchar_t library[MAX_PATH] = {};
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\NS\\wp_default\\Zarn\\DelayLoad", 0,
                      KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        DWORD type = 0;
        DWORD size = 0;
        RegQueryValueExW(key, L"kv_hoster_api_64.dll", nullptr, &type, nullptr, &size);
        size = sizeof(library) - sizeof(wchar_t);
        RegQueryValueExW(key, L"kv_hoster_api_64.dll", nullptr, &type, reinterpret_cast<BYTE*>(library),
                         &size);
        closeKey(key);
    }
    HMODULE api =
        LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (api == nullptr) {
        std::fprintf(stderr, "install-floor: no host API library\n");
        return;
    }
    struct Descriptor {
        DWORD size;
        DWORD flags;
        const wchar_t* ns;
        const wchar_t* directory;
    } descriptor = {sizeof(Descriptor), 0, L"wp_default", nullptr};
    using Hook = int (*)(const Descriptor*);
    using Initialize = int (*)();
    using IsHosterRunning = int (*)(const wchar_t*, int, unsigned);
    using PluginCall = int (*)(const wchar_t*, int, const wchar_t*, int);
    reinterpret_cast<Hook>(reinterpret_cast<void*>(GetProcAddress(api, "ZarnDelayLoadDependencies")))(
        &descriptor);
    reinterpret_cast<Initialize>(reinterpret_cast<void*>(GetProcAddress(api, "KvHosterApi_Initialize")))();
    writeLine(" I: GenericApi<class HosterApi>::GenericApi: API library is loaded. Initializing the API...");
    auto running = reinterpret_cast<IsHosterRunning>(
        reinterpret_cast<void*>(GetProcAddress(api, "KvHosterApi_IsHosterRunning")));
    auto stop =
        reinterpret_cast<PluginCall>(reinterpret_cast<void*>(GetProcAddress(api, "KvHosterApi_StopPlugin")));
    auto start =
        reinterpret_cast<PluginCall>(reinterpret_cast<void*>(GetProcAddress(api, "KvHosterApi_StartPlugin")));
    writeLine(" I: GenericApi<class HosterApi>::GenericApi: API is initialized successfully.");

    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\Zarn\\DLLHoster\\1400\\Plugins\\WispWPUPlugin",
                      0, READ_CONTROL | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS) {
        closeKey(key);
    }
    namespaceLookup();
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, PluginKey, 0, READ_CONTROL | KEY_WOW64_64KEY, &key) ==
        ERROR_SUCCESS) {
        closeKey(key);
    }
    writeLine(" I: HosterPlugin::restart: Restarting plugin");
    namespaceLookup();
    running(L"wp_default", 0, 0);
    namespaceLookup();
    stop(L"wp_default", 0, L"WispWPUPlugin", 0);
    namespaceLookup();
    start(L"wp_default", 0, L"WispWPUPlugin", 0);
    writeLine(" I: HosterPlugin::restart: Plugin started");
}

void markActiveVersion() {
    namespaceLookup();
    namespaceLookup();
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\Wisp\\updates\\wpu", 0, Read64, &key) ==
        ERROR_SUCCESS) {
        for (DWORD index = 0;; ++index) {
            wchar_t name[256];
            DWORD length = 256;
            if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS) {
                break;
            }
        }
        closeKey(key);
    }
    const wchar_t* older = L"SOFTWARE\\Korvane\\Wisp\\updates\\wpu\\2.8.21";
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, older, 0, Read64, &key) == ERROR_SUCCESS) {
        DWORD type = 0;
        DWORD size = 0;
        RegQueryValueExW(key, L"status", nullptr, &type, nullptr, &size);
        wchar_t status[64];
        size = sizeof(status);
        RegQueryValueExW(key, L"status", nullptr, &type, reinterpret_cast<BYTE*>(status), &size);
        closeKey(key);
    }
    writeLine(" I: wp::markActiveVersion: Deactivating update 2.8.21, current old status=inactive new "
              "status=inactive");
    setString(older, L"status", L"inactive");
    writeLine(" I: wp::markActiveVersion: Activating update 2.8.22");
    setString(L"SOFTWARE\\Korvane\\Wisp\\updates\\wpu\\2.8.22", L"status", L"active");
}

void flush(const wchar_t* name, REGSAM view, const char* line) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, name, 0, view | KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        RegFlushKey(key);
        writeLine(line);
        closeKey(key);
    }
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int count = 0;
    LocalFree(CommandLineToArgvW(GetCommandLineW(), &count));
    // The C runtime's thread support, which the installer's first lock starts; its
    // handles live as long as the process.
    CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE self = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    GetThreadPriority(self);

    openLog();
    writeLine(" I: InstallerMain: Version: 02.08.22.00 ()");
    crashHooks();
    currentUser();
    environment(L"wp_module", module, 64);
    environment(L"wp_title", title, 256);
    environment(L"wp_version", version, 64);
    namespaceLookup();
    const std::string rootLine =
        " I: InstallerMain: WPU registry root: SOFTWARE\\Korvane\\Wisp, module=" + narrow(module) +
        ", title=" + narrow(title) + ", version=" + narrow(version);
    writeLine(rootLine.c_str());
    writeLine((" I: InstallerMain: Installing " + narrow(module) + ", version " + narrow(version) +
               ". title: " + narrow(title))
                  .c_str());
    writeLine(" I: InstallerMain: Executing main logic...");

    currentUser();
    namespaceLookup();
    readKey(L"SOFTWARE\\Korvane\\Wisp", L"rook");
    moduleFileName();
    namespaceLookup();
    readKey(L"SOFTWARE\\Korvane\\Wisp\\updates", L"TEBMode");
    writeLine(" I: MainLogic::execute: WPU Wisp AV mode");
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    scheduledTask();
    plugin();
    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
    writeLine(" I: MainLogic::execute: DONE.");
    writeLine(" I: InstallerMain: Main logic returned: 0");

    markActiveVersion();
    createKeyPath(ModuleKey);
    moduleFileName();
    setString(ModuleKey, L"path", directory);
    flush(L"SOFTWARE", KEY_WOW64_64KEY,
          " I: flushRegistryKeyByName: Registry SOFTWARE (256) is flushed successfully");
    flush(L"SYSTEM", KEY_WOW64_64KEY,
          " I: flushRegistryKeyByName: Registry SYSTEM (256) is flushed successfully");
    flush(L"SOFTWARE", KEY_WOW64_32KEY,
          " I: flushRegistryKeyByName: Registry SOFTWARE (512) is flushed successfully");
    writeLine(" I: InstallerMain: Returning: 0");
    writeLine(" I: ***  LOGGING ENDED  ***");
    CloseHandle(logMutex);
    CloseHandle(logFile);
    LocalFree(directorySecurity);
    // At exit the host API object's destructor logs three lines; the log is closed by
    // then, so only their timestamps are taken.
    SYSTEMTIME time;
    for (int i = 0; i < 3; ++i) {
        GetLocalTime(&time);
    }
    return 0;
}
