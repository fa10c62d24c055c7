#include <windows.h>

#include "kvtl/Com.h"
#include "taskscheduler20/TaskScheduler20Double.h"
#include "taskscheduler20/TaskSchedulerExtras.h"
#include "test-support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using kv::Bstr;
using kv::ComPtr;
using kv::Variant;
namespace ts20 = kv::ts20;

const wchar_t* const kSddl = L"D:(A;;FA;;;BA)(A;;FA;;;SY)";
const LONG kInstallerFlags = TASK_CREATE_OR_UPDATE | TASK_IGNORE_REGISTRATION_TRIGGERS;

bool waitFor(const std::function<bool()>& condition, DWORD timeoutMs = 20000) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() > end) {
            return false;
        }
        Sleep(50);
    }
    return true;
}

bool contains(const std::wstring& text, const std::wstring& part) {
    return text.find(part) != std::wstring::npos;
}

std::wstring readFileText(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::wstring text(GetFileSize(file, nullptr) / sizeof(wchar_t), L'\0');
    DWORD read = 0;
    ReadFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &read, nullptr);
    CloseHandle(file);
    return text;
}

void touch(const std::wstring& path) {
    CloseHandle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
}

// Each test has its own store below its own temporary folder.
class TaskScheduler20DoubleTest : public ::testing::Test {
protected:
    ComPtr<ITaskService> connect() {
        ComPtr<ITaskService> service;
        EXPECT_EQ(CoCreateInstance(ts20::kClsidTaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                   ts20::kIidTaskService, service.putVoid()),
                  S_OK);
        if (service) {
            EXPECT_EQ(service->Connect(Variant().get(), Variant().get(), Variant().get(), Variant().get()),
                      S_OK);
        }
        return service;
    }

    static ComPtr<ITaskFolder> folder(const ComPtr<ITaskService>& service, const std::wstring& path,
                                      HRESULT expected = S_OK) {
        ComPtr<ITaskFolder> result;
        EXPECT_EQ(service->GetFolder(Bstr(path).get(), result.put()), expected)
            << std::string(path.begin(), path.end());
        return result;
    }

    ComPtr<ITaskFolder> productFolder(const ComPtr<ITaskService>& service) {
        ComPtr<ITaskFolder> created;
        EXPECT_EQ(folder(service, L"\\")
                      ->CreateFolder(Bstr(L"\\Korvane").get(), Variant::bstr(kSddl).get(), created.put()),
                  S_OK);
        return created;
    }

    // A definition made the way the installer's library makes one.
    static ComPtr<ITaskDefinition> installerDefinition(const ComPtr<ITaskService>& service,
                                                       const std::wstring& program,
                                                       const std::wstring& arguments = L"") {
        ComPtr<ITaskDefinition> definition;
        EXPECT_EQ(service->NewTask(0, definition.put()), S_OK);
        ComPtr<IRegistrationInfo> info;
        EXPECT_EQ(definition->get_RegistrationInfo(info.put()), S_OK);
        EXPECT_EQ(info->put_Author(Bstr(L"korvane scheduled task").get()), S_OK);
        ComPtr<IPrincipal> principal;
        EXPECT_EQ(definition->get_Principal(principal.put()), S_OK);
        EXPECT_EQ(principal->put_LogonType(TASK_LOGON_SERVICE_ACCOUNT), S_OK);
        EXPECT_EQ(principal->put_GroupId(Bstr(L"NT AUTHORITY\\SYSTEM").get()), S_OK);
        ComPtr<ITaskSettings> settings;
        EXPECT_EQ(definition->get_Settings(settings.put()), S_OK);
        EXPECT_EQ(settings->put_MultipleInstances(TASK_INSTANCES_IGNORE_NEW), S_OK);
        EXPECT_EQ(settings->put_ExecutionTimeLimit(Bstr(L"P3D").get()), S_OK);
        EXPECT_EQ(settings->put_DisallowStartIfOnBatteries(VARIANT_FALSE), S_OK);
        EXPECT_EQ(settings->put_RunOnlyIfNetworkAvailable(VARIANT_TRUE), S_OK);
        EXPECT_EQ(settings->put_Priority(1), S_OK);
        ComPtr<IActionCollection> actions;
        ComPtr<IAction> action;
        ComPtr<IExecAction> exec;
        EXPECT_EQ(definition->get_Actions(actions.put()), S_OK);
        EXPECT_EQ(actions->Create(TASK_ACTION_EXEC, action.put()), S_OK);
        EXPECT_EQ(action.queryInterface(ts20::kIidExecAction, exec), S_OK);
        EXPECT_EQ(exec->put_Path(Bstr(program).get()), S_OK);
        if (!arguments.empty()) {
            EXPECT_EQ(exec->put_Arguments(Bstr(arguments).get()), S_OK);
        }
        ComPtr<ITriggerCollection> triggers;
        ComPtr<ITrigger> trigger;
        ComPtr<IRepetitionPattern> repetition;
        EXPECT_EQ(definition->get_Triggers(triggers.put()), S_OK);
        EXPECT_EQ(triggers->Create(TASK_TRIGGER_TIME, trigger.put()), S_OK);
        EXPECT_EQ(trigger->put_Id(Bstr(L"trigger1").get()), S_OK);
        EXPECT_EQ(trigger->put_StartBoundary(Bstr(L"2026-12-04T06:40:05").get()), S_OK);
        EXPECT_EQ(trigger->get_Repetition(repetition.put()), S_OK);
        EXPECT_EQ(repetition->put_Interval(Bstr(L"PT10M").get()), S_OK);
        return definition;
    }

    static HRESULT registerAs(const ComPtr<ITaskFolder>& folder, const std::wstring& name,
                              const ComPtr<ITaskDefinition>& definition,
                              ComPtr<IRegisteredTask>* task = nullptr, LONG flags = kInstallerFlags,
                              TASK_LOGON_TYPE logon = TASK_LOGON_SERVICE_ACCOUNT,
                              const Variant& user = Variant(), const Variant& password = Variant()) {
        ComPtr<IRegisteredTask> registered;
        const HRESULT hr = folder->RegisterTaskDefinition(Bstr(name).get(), definition.get(), flags,
                                                          user.get(), password.get(), logon,
                                                          Variant::bstr(kSddl).get(), registered.put());
        if (task != nullptr) {
            *task = registered;
        }
        return hr;
    }

    static TASK_STATE stateOf(const ComPtr<IRegisteredTask>& task) {
        TASK_STATE state = TASK_STATE_UNKNOWN;
        EXPECT_EQ(task->get_State(&state), S_OK);
        return state;
    }

    kv::ScopedComInitializer com_;
    kv::test::TempDirectory temp_;
    kv::doubles::ScopedTaskScheduler20Registration registration_{
        kv::doubles::TaskScheduler20Options{temp_ / L"Tasks"}};
};

TEST_F(TaskScheduler20DoubleTest, ConnectsAndAnswersForMissingFoldersAsTheService) {
    ASSERT_EQ(registration_.result(), S_OK);
    ComPtr<ITaskService> service;
    ASSERT_EQ(CoCreateInstance(ts20::kClsidTaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                               ts20::kIidTaskService, service.putVoid()),
              S_OK);
    ComPtr<ITaskFolder> early;
    EXPECT_EQ(service->GetFolder(Bstr(L"\\").get(), early.put()),
              HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED));
    EXPECT_EQ(service->Connect(Variant::bstr(L"\\\\elsewhere").get(), Variant().get(), Variant().get(),
                               Variant().get()),
              HRESULT_FROM_WIN32(ERROR_BAD_NETPATH));
    ASSERT_EQ(service->Connect(Variant().get(), Variant().get(), Variant().get(), Variant().get()), S_OK);
    VARIANT_BOOL connected = VARIANT_FALSE;
    EXPECT_EQ(service->get_Connected(&connected), S_OK);
    EXPECT_EQ(connected, VARIANT_TRUE);

    Bstr path;
    EXPECT_EQ(folder(service, L"\\")->get_Path(path.put()), S_OK);
    EXPECT_EQ(path.str(), L"\\");
    folder(service, L"\\Korvane", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    folder(service, L"\\Korvane\\Inner", HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    folder(service, L"\\ Korvane", HRESULT_FROM_WIN32(ERROR_INVALID_NAME));
}

TEST_F(TaskScheduler20DoubleTest, CreatedFolderKeepsItsDescriptorForLaterServiceObjects) {
    ComPtr<ITaskService> service = connect();
    ComPtr<ITaskFolder> root = folder(service, L"\\");
    ComPtr<ITaskFolder> refused;
    EXPECT_NE(root->CreateFolder(Bstr(L"\\Korvane").get(), Variant::bstr(L"D:(bogus)").get(), refused.put()),
              S_OK);
    folder(service, L"\\Korvane", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));

    ComPtr<ITaskFolder> created = productFolder(service);
    ASSERT_TRUE(created);
    Bstr name;
    EXPECT_EQ(created->get_Name(name.put()), S_OK);
    EXPECT_EQ(name.str(), L"Korvane");
    ComPtr<ITaskFolder> again;
    EXPECT_EQ(root->CreateFolder(Bstr(L"Korvane").get(), Variant().get(), again.put()),
              HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));

    ComPtr<ITaskService> later = connect();
    Bstr sddl;
    EXPECT_EQ(folder(later, L"\\KORVANE")->GetSecurityDescriptor(DACL_SECURITY_INFORMATION, sddl.put()),
              S_OK);
    EXPECT_EQ(sddl.str(), kSddl);
    EXPECT_EQ(GetFileAttributesW((temp_ / L"Tasks\\Korvane").c_str()) & FILE_ATTRIBUTE_DIRECTORY,
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));

    // A nested path makes the folders on the way; subfolders inherit the descriptor above them.
    ComPtr<ITaskFolder> nested;
    ASSERT_EQ(folder(later, L"\\Korvane")->CreateFolder(Bstr(L"A\\B").get(), Variant().get(), nested.put()),
              S_OK);
    Bstr nestedPath;
    EXPECT_EQ(nested->get_Path(nestedPath.put()), S_OK);
    EXPECT_EQ(nestedPath.str(), L"\\Korvane\\A\\B");
    EXPECT_EQ(nested->GetSecurityDescriptor(DACL_SECURITY_INFORMATION, sddl.put()), S_OK);
    EXPECT_EQ(sddl.str(), kSddl);
    ComPtr<ITaskFolderCollection> subfolders;
    ASSERT_EQ(folder(later, L"\\")->GetFolders(0, subfolders.put()), S_OK);
    LONG count = 0;
    ComPtr<ITaskFolder> first;
    Bstr firstName;
    EXPECT_EQ(subfolders->get_Count(&count), S_OK);
    EXPECT_EQ(count, 1);
    ASSERT_EQ(subfolders->get_Item(Variant::i4(1).get(), first.put()), S_OK);
    EXPECT_EQ(first->get_Name(firstName.put()), S_OK);
    EXPECT_EQ(firstName.str(), L"Korvane");
}

TEST_F(TaskScheduler20DoubleTest, RegistersTheInstallersTaskAsTaskSchedulerXml) {
    ComPtr<ITaskService> service = connect();
    ComPtr<ITaskFolder> korvane = productFolder(service);
    ComPtr<IRegisteredTask> task;
    ASSERT_EQ(registerAs(korvane, L"Wisp Updater", installerDefinition(service, L"C:\\wpu\\wpu.exe"), &task),
              S_OK);
    Bstr name;
    Bstr path;
    EXPECT_EQ(task->get_Name(name.put()), S_OK);
    EXPECT_EQ(task->get_Path(path.put()), S_OK);
    EXPECT_EQ(name.str(), L"Wisp Updater");
    EXPECT_EQ(path.str(), L"\\Korvane\\Wisp Updater");

    // The file is UTF-16 with a byte-order mark, where the service keeps it.
    const std::wstring raw = readFileText(temp_ / L"Tasks\\Korvane\\Wisp Updater");
    ASSERT_FALSE(raw.empty());
    EXPECT_EQ(raw.front(), 0xFEFF);
    const std::wstring xml = kv::doubles::readTaskScheduler20Xml(L"\\Korvane\\Wisp Updater");
    EXPECT_EQ(xml, raw.substr(1));
    for (const wchar_t* part :
         {L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>",
          L"xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\"",
          L"<Author>korvane scheduled task</Author>", L"<URI>\\Korvane\\Wisp Updater</URI>",
          L"<TimeTrigger id=\"trigger1\">", L"<Interval>PT10M</Interval>",
          L"<StartBoundary>2026-12-04T06:40:05</StartBoundary>", L"<GroupId>NT AUTHORITY\\SYSTEM</GroupId>",
          L"<MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>",
          L"<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>",
          L"<RunOnlyIfNetworkAvailable>true</RunOnlyIfNetworkAvailable>",
          L"<ExecutionTimeLimit>P3D</ExecutionTimeLimit>", L"<Priority>1</Priority>",
          L"<Command>C:\\wpu\\wpu.exe</Command>"}) {
        EXPECT_TRUE(contains(xml, part)) << "missing: " << std::string(part, part + wcslen(part));
    }
    EXPECT_FALSE(contains(xml, L"EndBoundary"));
    EXPECT_FALSE(contains(xml, L"<LogonType>")) << "a service-account principal is told by its id";

    Bstr viaService;
    EXPECT_EQ(task->get_Xml(viaService.put()), S_OK);
    EXPECT_EQ(viaService.str(), xml);
    Bstr taskSddl;
    EXPECT_EQ(task->GetSecurityDescriptor(DACL_SECURITY_INFORMATION, taskSddl.put()), S_OK);
    EXPECT_EQ(taskSddl.str(), kSddl);
}

TEST_F(TaskScheduler20DoubleTest, DefinitionOfARegisteredTaskIsReadBackFromTheStore) {
    ComPtr<ITaskService> service = connect();
    ComPtr<ITaskFolder> korvane = productFolder(service);
    ASSERT_EQ(registerAs(korvane, L"Wisp Updater", installerDefinition(service, L"C:\\wpu\\wpu.exe", L"-q")),
              S_OK);

    ComPtr<IRegisteredTask> task;
    ASSERT_EQ(folder(connect(), L"\\Korvane")->GetTask(Bstr(L"wisp updater").get(), task.put()), S_OK);
    Bstr name;
    EXPECT_EQ(task->get_Name(name.put()), S_OK);
    EXPECT_EQ(name.str(), L"Wisp Updater") << "the stored name, whatever case was asked for";
    ComPtr<ITaskDefinition> definition;
    ASSERT_EQ(task->get_Definition(definition.put()), S_OK);
    ComPtr<IPrincipal> principal;
    ASSERT_EQ(definition->get_Principal(principal.put()), S_OK);
    TASK_LOGON_TYPE logon = TASK_LOGON_NONE;
    Bstr group;
    EXPECT_EQ(principal->get_LogonType(&logon), S_OK);
    EXPECT_EQ(principal->get_GroupId(group.put()), S_OK);
    EXPECT_EQ(logon, TASK_LOGON_SERVICE_ACCOUNT);
    EXPECT_EQ(group.str(), L"NT AUTHORITY\\SYSTEM");
    ComPtr<ITaskSettings> settings;
    ASSERT_EQ(definition->get_Settings(settings.put()), S_OK);
    INT priority = -1;
    TASK_INSTANCES_POLICY policy = TASK_INSTANCES_PARALLEL;
    VARIANT_BOOL batteries = VARIANT_TRUE;
    VARIANT_BOOL network = VARIANT_FALSE;
    Bstr limit;
    EXPECT_EQ(settings->get_Priority(&priority), S_OK);
    EXPECT_EQ(settings->get_MultipleInstances(&policy), S_OK);
    EXPECT_EQ(settings->get_DisallowStartIfOnBatteries(&batteries), S_OK);
    EXPECT_EQ(settings->get_RunOnlyIfNetworkAvailable(&network), S_OK);
    EXPECT_EQ(settings->get_ExecutionTimeLimit(limit.put()), S_OK);
    EXPECT_EQ(priority, 1);
    EXPECT_EQ(policy, TASK_INSTANCES_IGNORE_NEW);
    EXPECT_EQ(batteries, VARIANT_FALSE);
    EXPECT_EQ(network, VARIANT_TRUE);
    EXPECT_EQ(limit.str(), L"P3D");

    ComPtr<IActionCollection> actions;
    ComPtr<IAction> action;
    ComPtr<IExecAction> exec;
    ASSERT_EQ(definition->get_Actions(actions.put()), S_OK);
    ASSERT_EQ(actions->get_Item(1, action.put()), S_OK);
    ASSERT_EQ(action.queryInterface(ts20::kIidExecAction, exec), S_OK);
    Bstr command;
    Bstr arguments;
    EXPECT_EQ(exec->get_Path(command.put()), S_OK);
    EXPECT_EQ(exec->get_Arguments(arguments.put()), S_OK);
    EXPECT_EQ(command.str(), L"C:\\wpu\\wpu.exe");
    EXPECT_EQ(arguments.str(), L"-q");

    ComPtr<ITriggerCollection> triggers;
    ComPtr<ITrigger> trigger;
    ComPtr<IRepetitionPattern> repetition;
    ASSERT_EQ(definition->get_Triggers(triggers.put()), S_OK);
    ASSERT_EQ(triggers->get_Item(1, trigger.put()), S_OK);
    ASSERT_EQ(trigger->get_Repetition(repetition.put()), S_OK);
    Bstr interval;
    Bstr end;
    EXPECT_EQ(repetition->get_Interval(interval.put()), S_OK);
    EXPECT_EQ(trigger->get_EndBoundary(end.put()), S_OK);
    EXPECT_EQ(interval.str(), L"PT10M");
    EXPECT_EQ(end.str(), L"");
}

TEST_F(TaskScheduler20DoubleTest, CreationFlagsDecideBetweenCreateAndReplace) {
    ComPtr<ITaskService> service = connect();
    ComPtr<ITaskFolder> korvane = productFolder(service);
    EXPECT_EQ(registerAs(korvane, L"T", installerDefinition(service, L"a.exe"), nullptr, TASK_UPDATE),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(registerAs(korvane, L"T", installerDefinition(service, L"a.exe"), nullptr, TASK_CREATE), S_OK);
    EXPECT_EQ(registerAs(korvane, L"T", installerDefinition(service, L"b.exe"), nullptr, TASK_CREATE),
              HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(contains(kv::doubles::readTaskScheduler20Xml(L"\\Korvane\\T"), L"<Command>a.exe</Command>"));
    EXPECT_EQ(registerAs(korvane, L"T", installerDefinition(service, L"b.exe")), S_OK);
    EXPECT_TRUE(contains(kv::doubles::readTaskScheduler20Xml(L"\\Korvane\\T"), L"<Command>b.exe</Command>"));
    EXPECT_EQ(registerAs(korvane, L"V", installerDefinition(service, L"c.exe"), nullptr, TASK_VALIDATE_ONLY),
              S_OK);
    EXPECT_EQ(kv::doubles::readTaskScheduler20Xml(L"\\Korvane\\V"), L"") << "validation stores nothing";
    EXPECT_EQ(registerAs(korvane, L"W", installerDefinition(service, L"c.exe"), nullptr,
                         TASK_VALIDATE_ONLY | TASK_CREATE),
              E_INVALIDARG);
}

TEST_F(TaskScheduler20DoubleTest, PasswordAccountIsStoredWithItsLogonType) {
    ComPtr<ITaskService> service = connect();
    ComPtr<ITaskFolder> korvane = productFolder(service);
    ComPtr<IRegisteredTask> task;
    ASSERT_EQ(registerAs(korvane, L"T", installerDefinition(service, L"a.exe"), &task, kInstallerFlags,
                         TASK_LOGON_PASSWORD, Variant::bstr(L"builder"), Variant::bstr(L"secret")),
              S_OK);
    const std::wstring xml = kv::doubles::readTaskScheduler20Xml(L"\\Korvane\\T");
    EXPECT_TRUE(contains(xml, L"<UserId>builder</UserId>"));
    EXPECT_TRUE(contains(xml, L"<LogonType>Password</LogonType>"));
    EXPECT_FALSE(contains(xml, L"secret")) << "passwords never reach the task file";
    EXPECT_FALSE(contains(xml, L"GroupId"));
}

struct Refusal {
    const char* why;
    std::wstring name;
    std::function<void(ITaskDefinition*)> change;
    TASK_LOGON_TYPE logon;
    Variant (*user)();
    Variant (*password)();
    HRESULT expected;
};

Variant none() {
    return Variant();
}
Variant someUser() {
    return Variant::bstr(L"builder");
}
Variant somePassword() {
    return Variant::bstr(L"secret");
}

void setTrigger(ITaskDefinition* definition, const std::function<void(ITrigger*)>& change) {
    ComPtr<ITriggerCollection> triggers;
    ComPtr<ITrigger> trigger;
    definition->get_Triggers(triggers.put());
    triggers->get_Item(1, trigger.put());
    change(trigger.get());
}

void setInterval(ITaskDefinition* definition, const wchar_t* interval) {
    setTrigger(definition, [interval](ITrigger* trigger) {
        ComPtr<IRepetitionPattern> repetition;
        trigger->get_Repetition(repetition.put());
        repetition->put_Interval(Bstr(interval).get());
    });
}

TEST_F(TaskScheduler20DoubleTest, RegistrationRefusesWhatTheServiceRefusesAndStoresNothing) {
    const auto keep = [](ITaskDefinition*) {};
    const std::vector<Refusal> rows = {
        {"leading blank", L" Wisp", keep, TASK_LOGON_SERVICE_ACCOUNT, none, none,
         HRESULT_FROM_WIN32(ERROR_INVALID_NAME)},
        {"trailing blank", L"Wisp ", keep, TASK_LOGON_SERVICE_ACCOUNT, none, none,
         HRESULT_FROM_WIN32(ERROR_INVALID_NAME)},
        {"parent folder", L"..\\Wisp", keep, TASK_LOGON_SERVICE_ACCOUNT, none, none,
         HRESULT_FROM_WIN32(ERROR_INVALID_NAME)},
        {"interval under a minute", L"T", [](ITaskDefinition* d) { setInterval(d, L"PT59S"); },
         TASK_LOGON_SERVICE_ACCOUNT, none, none, ts20::kSchedInvalidValue},
        {"interval over 31 days", L"T", [](ITaskDefinition* d) { setInterval(d, L"P31DT1M"); },
         TASK_LOGON_SERVICE_ACCOUNT, none, none, ts20::kSchedInvalidValue},
        {"interval not a duration", L"T", [](ITaskDefinition* d) { setInterval(d, L"10 minutes"); },
         TASK_LOGON_SERVICE_ACCOUNT, none, none, ts20::kSchedInvalidValue},
        {"start NEVER", L"T",
         [](ITaskDefinition* d) {
             setTrigger(d, [](ITrigger* t) { t->put_StartBoundary(Bstr(L"NEVER").get()); });
         },
         TASK_LOGON_SERVICE_ACCOUNT, none, none, ts20::kSchedInvalidValue},
        {"start in month 13", L"T",
         [](ITaskDefinition* d) {
             setTrigger(d, [](ITrigger* t) { t->put_StartBoundary(Bstr(L"2026-13-01T00:00:00").get()); });
         },
         TASK_LOGON_SERVICE_ACCOUNT, none, none, ts20::kSchedInvalidValue},
        {"time trigger without start", L"T",
         [](ITaskDefinition* d) { setTrigger(d, [](ITrigger* t) { t->put_StartBoundary(nullptr); }); },
         TASK_LOGON_SERVICE_ACCOUNT, none, none, ts20::kSchedMissingNode},
        {"no action", L"T",
         [](ITaskDefinition* d) {
             ComPtr<IActionCollection> actions;
             d->get_Actions(actions.put());
             actions->Clear();
         },
         TASK_LOGON_SERVICE_ACCOUNT, none, none, ts20::kSchedMissingNode},
        {"priority 11", L"T",
         [](ITaskDefinition* d) {
             ComPtr<ITaskSettings> settings;
             d->get_Settings(settings.put());
             settings->put_Priority(11);
         },
         TASK_LOGON_SERVICE_ACCOUNT, none, none, ts20::kSchedInvalidValue},
        {"password with a service account", L"T", keep, TASK_LOGON_SERVICE_ACCOUNT, none, somePassword,
         E_INVALIDARG},
        {"user without password", L"T", keep, TASK_LOGON_PASSWORD, someUser, none, E_OUTOFMEMORY},
        {"password without user", L"T", keep, TASK_LOGON_PASSWORD, none, somePassword, E_OUTOFMEMORY},
    };
    ComPtr<ITaskService> service = connect();
    ComPtr<ITaskFolder> korvane = productFolder(service);
    for (const Refusal& row : rows) {
        ComPtr<ITaskDefinition> definition = installerDefinition(service, L"a.exe");
        row.change(definition.get());
        EXPECT_EQ(registerAs(korvane, row.name, definition, nullptr, kInstallerFlags, row.logon, row.user(),
                             row.password()),
                  row.expected)
            << row.why;
        std::vector<std::wstring> names;
        ComPtr<IRegisteredTaskCollection> tasks;
        LONG count = -1;
        ASSERT_EQ(korvane->GetTasks(TASK_ENUM_HIDDEN, tasks.put()), S_OK);
        EXPECT_EQ(tasks->get_Count(&count), S_OK);
        EXPECT_EQ(count, 0) << row.why;
    }
    ComPtr<IRegisteredTask> refused;
    EXPECT_TRUE(FAILED(korvane->RegisterTaskDefinition(
        Bstr(L"T").get(), installerDefinition(service, L"a.exe").get(), kInstallerFlags, Variant().get(),
        Variant().get(), TASK_LOGON_SERVICE_ACCOUNT, Variant::bstr(L"D:(nonsense").get(), refused.put())));
    EXPECT_EQ(kv::doubles::readTaskScheduler20Xml(L"\\Korvane\\T"), L"")
        << "a broken descriptor stores nothing";
}

TEST_F(TaskScheduler20DoubleTest, ListsTasksHiddenOnlyOnRequestAndDeletesAsTheService) {
    ComPtr<ITaskService> service = connect();
    ComPtr<ITaskFolder> korvane = productFolder(service);
    ComPtr<ITaskDefinition> hidden = installerDefinition(service, L"a.exe");
    ComPtr<ITaskSettings> settings;
    ASSERT_EQ(hidden->get_Settings(settings.put()), S_OK);
    ASSERT_EQ(settings->put_Hidden(VARIANT_TRUE), S_OK);
    ASSERT_EQ(registerAs(korvane, L"Hidden", hidden), S_OK);
    ASSERT_EQ(registerAs(korvane, L"Visible", installerDefinition(service, L"a.exe")), S_OK);

    const auto names = [&](LONG flags) {
        std::vector<std::wstring> result;
        ComPtr<IRegisteredTaskCollection> tasks;
        EXPECT_EQ(korvane->GetTasks(flags, tasks.put()), S_OK);
        LONG count = 0;
        EXPECT_EQ(tasks->get_Count(&count), S_OK);
        for (LONG i = 1; i <= count; ++i) {
            ComPtr<IRegisteredTask> task;
            Bstr name;
            EXPECT_EQ(tasks->get_Item(Variant::i4(i).get(), task.put()), S_OK);
            EXPECT_EQ(task->get_Name(name.put()), S_OK);
            result.push_back(name.str());
        }
        ComPtr<IRegisteredTask> beyond;
        EXPECT_EQ(tasks->get_Item(Variant::i4(count + 1).get(), beyond.put()), E_INVALIDARG);
        return result;
    };
    EXPECT_EQ(names(TASK_ENUM_HIDDEN), (std::vector<std::wstring>{L"Hidden", L"Visible"}));
    EXPECT_EQ(names(0), (std::vector<std::wstring>{L"Visible"}));

    ComPtr<IRegisteredTask> missing;
    EXPECT_EQ(korvane->GetTask(Bstr(L"Nothing").get(), missing.put()),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(missing);
    EXPECT_EQ(korvane->DeleteTask(Bstr(L"Nothing").get(), 0), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));

    ComPtr<ITaskFolder> root = folder(service, L"\\");
    EXPECT_EQ(root->DeleteFolder(Bstr(L"Korvane").get(), 0), HRESULT_FROM_WIN32(ERROR_DIR_NOT_EMPTY));
    EXPECT_EQ(korvane->DeleteTask(Bstr(L"Hidden").get(), 0), S_OK);
    EXPECT_EQ(korvane->DeleteTask(Bstr(L"Visible").get(), 0), S_OK);
    EXPECT_EQ(root->DeleteFolder(Bstr(L"Korvane").get(), 0), S_OK);
    EXPECT_EQ(root->DeleteFolder(Bstr(L"Korvane").get(), 0), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    folder(service, L"\\Korvane", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    // The deleted folder's object is still there; what it is asked for is not.
    ComPtr<IRegisteredTask> gone;
    EXPECT_EQ(korvane->GetTask(Bstr(L"Visible").get(), gone.put()), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(registerAs(korvane, L"Again", installerDefinition(service, L"a.exe")),
              HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
}

TEST_F(TaskScheduler20DoubleTest, RunStartsTheProgramAndRefusesASecondInstanceWhileItRuns) {
    const std::wstring marker = temp_ / L"started.txt";
    const std::wstring release = temp_ / L"release.txt";
    ComPtr<ITaskService> service = connect();
    ComPtr<ITaskFolder> korvane = productFolder(service);
    ComPtr<IRegisteredTask> task;
    ASSERT_EQ(registerAs(korvane, L"Wisp Updater",
                         installerDefinition(service, kv::test::besideTestExecutable(L"ts20_child.exe"),
                                             L"\"" + marker + L"\" \"" + release + L"\" --from-task"),
                         &task),
              S_OK);
    EXPECT_EQ(stateOf(task), TASK_STATE_READY);
    LONG result = 0;
    EXPECT_EQ(task->get_LastTaskResult(&result), S_OK);
    EXPECT_EQ(result, ts20::kSchedTaskHasNotRun);

    ASSERT_EQ(task->Run(Variant::null().get(), nullptr), S_OK);
    ASSERT_TRUE(waitFor([&] { return GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES; }));
    EXPECT_TRUE(contains(readFileText(marker), L"--from-task"));
    EXPECT_EQ(stateOf(task), TASK_STATE_RUNNING);
    EXPECT_EQ(task->Run(Variant::null().get(), nullptr), ts20::kSchedAlreadyRunning);
    ComPtr<IRegisteredTask> sameTask;
    ASSERT_EQ(folder(connect(), L"\\Korvane")->GetTask(Bstr(L"Wisp Updater").get(), sameTask.put()), S_OK);
    EXPECT_EQ(stateOf(sameTask), TASK_STATE_RUNNING) << "another service object sees the running instance";

    touch(release);
    ASSERT_TRUE(waitFor([&] { return stateOf(task) == TASK_STATE_READY; }));
    EXPECT_EQ(task->get_LastTaskResult(&result), S_OK);
    EXPECT_EQ(result, 7) << "the program's exit code";

    DeleteFileW(marker.c_str());
    EXPECT_EQ(task->Run(Variant::null().get(), nullptr), S_OK) << "a finished instance does not block";
    ASSERT_TRUE(waitFor([&] { return GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES; }));
    ASSERT_TRUE(waitFor([&] { return stateOf(task) == TASK_STATE_READY; }));

    EXPECT_EQ(task->put_Enabled(VARIANT_FALSE), S_OK);
    EXPECT_EQ(stateOf(task), TASK_STATE_DISABLED);
    EXPECT_EQ(task->Run(Variant::null().get(), nullptr), ts20::kSchedTaskDisabled);
    EXPECT_TRUE(contains(kv::doubles::readTaskScheduler20Xml(L"\\Korvane\\Wisp Updater"),
                         L"<Enabled>false</Enabled>"));
}

TEST_F(TaskScheduler20DoubleTest, RunOfAProgramThatCannotStartShowsInTheLastResultOnly) {
    ComPtr<ITaskService> service = connect();
    ComPtr<ITaskFolder> korvane = productFolder(service);
    ComPtr<IRegisteredTask> task;
    ASSERT_EQ(registerAs(korvane, L"T", installerDefinition(service, temp_ / L"absent.exe"), &task), S_OK);
    EXPECT_EQ(task->Run(Variant::null().get(), nullptr), S_OK);
    LONG result = 0;
    EXPECT_EQ(task->get_LastTaskResult(&result), S_OK);
    EXPECT_EQ(result, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(stateOf(task), TASK_STATE_READY);
}

TEST_F(TaskScheduler20DoubleTest, NewDefinitionHasTheServicesDefaults) {
    ComPtr<ITaskService> service = connect();
    ComPtr<ITaskDefinition> definition;
    ASSERT_EQ(service->NewTask(0, definition.put()), S_OK);
    ComPtr<ITaskDefinition> refused;
    EXPECT_EQ(service->NewTask(1, refused.put()), E_INVALIDARG);
    ComPtr<ITaskSettings> settings;
    ASSERT_EQ(definition->get_Settings(settings.put()), S_OK);
    VARIANT_BOOL enabled = VARIANT_FALSE;
    VARIANT_BOOL hidden = VARIANT_TRUE;
    VARIANT_BOOL batteries = VARIANT_FALSE;
    VARIANT_BOOL network = VARIANT_TRUE;
    INT priority = 0;
    TASK_INSTANCES_POLICY policy = TASK_INSTANCES_PARALLEL;
    Bstr limit;
    EXPECT_EQ(settings->get_Enabled(&enabled), S_OK);
    EXPECT_EQ(settings->get_Hidden(&hidden), S_OK);
    EXPECT_EQ(settings->get_DisallowStartIfOnBatteries(&batteries), S_OK);
    EXPECT_EQ(settings->get_RunOnlyIfNetworkAvailable(&network), S_OK);
    EXPECT_EQ(settings->get_Priority(&priority), S_OK);
    EXPECT_EQ(settings->get_MultipleInstances(&policy), S_OK);
    EXPECT_EQ(settings->get_ExecutionTimeLimit(limit.put()), S_OK);
    EXPECT_EQ(enabled, VARIANT_TRUE);
    EXPECT_EQ(hidden, VARIANT_FALSE);
    EXPECT_EQ(batteries, VARIANT_TRUE);
    EXPECT_EQ(network, VARIANT_FALSE);
    EXPECT_EQ(priority, 7);
    EXPECT_EQ(policy, TASK_INSTANCES_IGNORE_NEW);
    EXPECT_EQ(limit.str(), L"PT72H");
    Bstr data;
    EXPECT_EQ(definition->get_Data(data.put()), S_OK);
    EXPECT_EQ(data.str(), L"");
    ASSERT_EQ(definition->put_Data(Bstr(L"abc").get()), S_OK);
    EXPECT_EQ(definition->get_Data(data.put()), S_OK);
    EXPECT_EQ(data.str(), L"abc");
}

TEST_F(TaskScheduler20DoubleTest, TriggerCollectionCreatesEachKindAndRemovesByOneBasedIndex) {
    ComPtr<ITaskService> service = connect();
    ComPtr<ITaskDefinition> definition;
    ASSERT_EQ(service->NewTask(0, definition.put()), S_OK);
    ComPtr<ITriggerCollection> triggers;
    ASSERT_EQ(definition->get_Triggers(triggers.put()), S_OK);
    const struct {
        TASK_TRIGGER_TYPE2 type;
        IID iid;
    } kinds[] = {{TASK_TRIGGER_TIME, ts20::kIidTimeTrigger},
                 {TASK_TRIGGER_DAILY, ts20::kIidDailyTrigger},
                 {TASK_TRIGGER_WEEKLY, ts20::kIidWeeklyTrigger},
                 {TASK_TRIGGER_BOOT, ts20::kIidBootTrigger}};
    for (const auto& kind : kinds) {
        ComPtr<ITrigger> trigger;
        ComPtr<IUnknown> specific;
        ASSERT_EQ(triggers->Create(kind.type, trigger.put()), S_OK);
        EXPECT_EQ(trigger.queryInterface(kind.iid, specific), S_OK) << kind.type;
        TASK_TRIGGER_TYPE2 type = TASK_TRIGGER_EVENT;
        EXPECT_EQ(trigger->get_Type(&type), S_OK);
        EXPECT_EQ(type, kind.type);
    }
    ComPtr<ITrigger> unmodelled;
    EXPECT_EQ(triggers->Create(TASK_TRIGGER_LOGON, unmodelled.put()), E_NOTIMPL);
    LONG count = 0;
    EXPECT_EQ(triggers->get_Count(&count), S_OK);
    EXPECT_EQ(count, 4);

    ComPtr<ITrigger> second;
    ASSERT_EQ(triggers->get_Item(2, second.put()), S_OK);
    ComPtr<IDailyTrigger> daily;
    ASSERT_EQ(second.queryInterface(ts20::kIidDailyTrigger, daily), S_OK);
    short days = 0;
    EXPECT_EQ(daily->get_DaysInterval(&days), S_OK);
    EXPECT_EQ(days, 1) << "the platform's default";
    ComPtr<ITrigger> none;
    EXPECT_EQ(triggers->get_Item(0, none.put()), E_INVALIDARG);
    EXPECT_EQ(triggers->get_Item(5, none.put()), E_INVALIDARG);

    // From the last to the first, as the library clears a definition.
    for (LONG i = count; i >= 1; --i) {
        EXPECT_EQ(triggers->Remove(Variant::i4(i).get()), S_OK);
    }
    EXPECT_EQ(triggers->get_Count(&count), S_OK);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(triggers->Remove(Variant::i4(1).get()), E_INVALIDARG);
}

TEST_F(TaskScheduler20DoubleTest, CalendarAndBootTriggersRoundTripThroughTheStore) {
    ComPtr<ITaskService> service = connect();
    ComPtr<ITaskFolder> korvane = productFolder(service);
    ComPtr<ITaskDefinition> definition = installerDefinition(service, L"a.exe");
    ComPtr<ITriggerCollection> triggers;
    ASSERT_EQ(definition->get_Triggers(triggers.put()), S_OK);
    ComPtr<ITrigger> trigger;
    ComPtr<IWeeklyTrigger> weekly;
    ASSERT_EQ(triggers->Create(TASK_TRIGGER_WEEKLY, trigger.put()), S_OK);
    ASSERT_EQ(trigger.queryInterface(ts20::kIidWeeklyTrigger, weekly), S_OK);
    EXPECT_EQ(weekly->put_StartBoundary(Bstr(L"2026-01-05T03:00:00").get()), S_OK);
    EXPECT_EQ(weekly->put_EndBoundary(Bstr(L"2027-01-05T03:00:00Z").get()), S_OK);
    EXPECT_EQ(weekly->put_DaysOfWeek(0x22), S_OK);
    EXPECT_EQ(weekly->put_WeeksInterval(2), S_OK);
    ComPtr<IDailyTrigger> daily;
    ASSERT_EQ(triggers->Create(TASK_TRIGGER_DAILY, trigger.put()), S_OK);
    ASSERT_EQ(trigger.queryInterface(ts20::kIidDailyTrigger, daily), S_OK);
    EXPECT_EQ(daily->put_StartBoundary(Bstr(L"2026-01-05T03:00:00.5+05:45").get()), S_OK);
    EXPECT_EQ(daily->put_DaysInterval(3), S_OK);
    ASSERT_EQ(triggers->Create(TASK_TRIGGER_BOOT, trigger.put()), S_OK);
    ASSERT_EQ(registerAs(korvane, L"T", definition), S_OK);

    const std::wstring xml = kv::doubles::readTaskScheduler20Xml(L"\\Korvane\\T");
    for (const wchar_t* part :
         {L"<CalendarTrigger>", L"<Monday />", L"<Friday />", L"<WeeksInterval>2</WeeksInterval>",
          L"<DaysInterval>3</DaysInterval>", L"<BootTrigger>"}) {
        EXPECT_TRUE(contains(xml, part)) << "missing: " << std::string(part, part + wcslen(part));
    }
    ComPtr<IRegisteredTask> task;
    ComPtr<ITaskDefinition> stored;
    ComPtr<ITriggerCollection> storedTriggers;
    ASSERT_EQ(korvane->GetTask(Bstr(L"T").get(), task.put()), S_OK);
    ASSERT_EQ(task->get_Definition(stored.put()), S_OK);
    ASSERT_EQ(stored->get_Triggers(storedTriggers.put()), S_OK);
    ComPtr<ITrigger> second;
    ASSERT_EQ(storedTriggers->get_Item(2, second.put()), S_OK);
    ASSERT_EQ(second.queryInterface(ts20::kIidWeeklyTrigger, weekly), S_OK);
    short days = 0;
    short weeks = 0;
    EXPECT_EQ(weekly->get_DaysOfWeek(&days), S_OK);
    EXPECT_EQ(weekly->get_WeeksInterval(&weeks), S_OK);
    EXPECT_EQ(days, 0x22);
    EXPECT_EQ(weeks, 2);

    // A weekly trigger without days is refused, as its DaysOfWeek element would be empty.
    EXPECT_EQ(weekly->put_DaysOfWeek(0), S_OK);
    EXPECT_EQ(registerAs(korvane, L"T", stored), ts20::kSchedMissingNode);
}

TEST_F(TaskScheduler20DoubleTest, EveryObjectIsReleasedWithItsLastReference) {
    const long before = kv::doubles::taskScheduler20LiveObjects();
    {
        ComPtr<ITaskService> service = connect();
        ComPtr<ITaskFolder> korvane = productFolder(service);
        ComPtr<IRegisteredTask> task;
        ASSERT_EQ(registerAs(korvane, L"T", installerDefinition(service, L"a.exe"), &task), S_OK);
        ComPtr<ITaskDefinition> definition;
        ASSERT_EQ(task->get_Definition(definition.put()), S_OK);
        EXPECT_GT(kv::doubles::taskScheduler20LiveObjects(), before);
        EXPECT_EQ(definition->AddRef(), 2u);
        EXPECT_EQ(definition->Release(), 1u);
    }
    EXPECT_EQ(kv::doubles::taskScheduler20LiveObjects(), before);
}

TEST_F(TaskScheduler20DoubleTest, InjectedFaultEndsTheChosenCallOnly) {
    ComPtr<ITaskService> service = connect();
    ComPtr<ITaskFolder> korvane = productFolder(service);
    kv::doubles::injectTaskScheduler20Fault(L"ITaskFolder::RegisterTaskDefinition", 1, E_ACCESSDENIED);
    EXPECT_EQ(registerAs(korvane, L"T", installerDefinition(service, L"a.exe")), E_ACCESSDENIED);
    EXPECT_EQ(kv::doubles::readTaskScheduler20Xml(L"\\Korvane\\T"), L"");
    EXPECT_EQ(registerAs(korvane, L"T", installerDefinition(service, L"a.exe")), S_OK);
    EXPECT_EQ(kv::doubles::taskScheduler20CallCount(L"ITaskFolder::RegisterTaskDefinition"), 2u);

    // Counts go on from the calls made so far: the next put_GroupId is the one that fails.
    const unsigned next = kv::doubles::taskScheduler20CallCount(L"IPrincipal::put_GroupId") + 1;
    EXPECT_EQ(next, 3u);
    kv::doubles::injectTaskScheduler20Fault(L"IPrincipal::put_GroupId", next,
                                            static_cast<HRESULT>(0x80041311));
    ComPtr<ITaskDefinition> definition;
    ComPtr<IPrincipal> principal;
    ASSERT_EQ(service->NewTask(0, definition.put()), S_OK);
    ASSERT_EQ(definition->get_Principal(principal.put()), S_OK);
    EXPECT_EQ(principal->put_GroupId(Bstr(L"x").get()), static_cast<HRESULT>(0x80041311));
    EXPECT_EQ(principal->put_GroupId(Bstr(L"x").get()), S_OK);

    kv::doubles::injectTaskScheduler20Fault(L"ITaskService::Connect", 0, E_ACCESSDENIED);
    ComPtr<ITaskService> refused;
    ASSERT_EQ(CoCreateInstance(ts20::kClsidTaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                               ts20::kIidTaskService, refused.putVoid()),
              S_OK);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(refused->Connect(Variant().get(), Variant().get(), Variant().get(), Variant().get()),
                  E_ACCESSDENIED)
            << "call 0 stands for every call";
    }
    kv::doubles::clearTaskScheduler20Faults();
    EXPECT_EQ(refused->Connect(Variant().get(), Variant().get(), Variant().get(), Variant().get()), S_OK);
    EXPECT_EQ(kv::doubles::taskScheduler20CallCount(L"ITaskService::Connect"), 1u);
}

// The DLL as a whole-program run reaches it: registered under HKLM in this test's
// prefix, found by CoCreateInstance in this process and in others, over the prefix's
// own task store.
TEST(TaskScheduler20Dll, RegisteredUnderHklmServesThisAndOtherProcessesFromOneStore) {
    kv::ScopedComInitializer com;
    const std::wstring dll = kv::test::besideTestExecutable(L"kv_taskscheduler20.dll");
    HMODULE module = LoadLibraryW(dll.c_str());
    ASSERT_NE(module, nullptr);
    using Entry = HRESULT(STDAPICALLTYPE*)();
    auto registerServer =
        reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
    ASSERT_NE(registerServer, nullptr);
    ASSERT_EQ(registerServer(), S_OK);
    wchar_t value[MAX_PATH + 1] = {};
    DWORD size = sizeof(value);
    const wchar_t* key = L"Software\\Classes\\CLSID\\{0F87369F-A4E5-4CFC-BD3E-73E6154572DD}\\InprocServer32";
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, key, nullptr, RRF_RT_REG_SZ, nullptr, value, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(lstrcmpiW(value, dll.c_str()), 0);
    size = sizeof(value);
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, key, L"ThreadingModel", RRF_RT_REG_SZ, nullptr, value, &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(value, L"Both");

    // Another process registers a task through the DLL...
    const std::wstring probe = L"\"" + kv::test::besideTestExecutable(L"ts20_probe.exe") + L"\"";
    EXPECT_EQ(kv::test::runCommand(probe + L" register \\Korvane \"From Probe\" C:\\probe.exe"), 0u);
    // ...which this process reads back through the DLL, from %windir%\system32\Tasks.
    ComPtr<ITaskService> service;
    ASSERT_EQ(CoCreateInstance(ts20::kClsidTaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                               ts20::kIidTaskService, service.putVoid()),
              S_OK);
    ASSERT_EQ(service->Connect(Variant().get(), Variant().get(), Variant().get(), Variant().get()), S_OK);
    ComPtr<ITaskFolder> korvane;
    ComPtr<IRegisteredTask> task;
    Bstr xml;
    ASSERT_EQ(service->GetFolder(Bstr(L"\\Korvane").get(), korvane.put()), S_OK);
    ASSERT_EQ(korvane->GetTask(Bstr(L"From Probe").get(), task.put()), S_OK);
    ASSERT_EQ(task->get_Xml(xml.put()), S_OK);
    EXPECT_TRUE(contains(xml.str(), L"<Command>C:\\probe.exe</Command>"));
    EXPECT_EQ(kv::doubles::taskScheduler20StoreRoot(), [] {
        wchar_t system[MAX_PATH + 1] = {};
        GetSystemDirectoryW(system, MAX_PATH + 1);
        return std::wstring(system) + L"\\Tasks";
    }());
    EXPECT_TRUE(contains(readFileText(kv::doubles::taskScheduler20TaskFile(L"\\Korvane\\From Probe")),
                         L"<Command>C:\\probe.exe</Command>"));

    // And a fault named in the environment reaches the DLL in the other process.
    kv::test::TempDirectory temp;
    SetEnvironmentVariableW(L"KV_TS20_FAULTS", L"ITaskFolder::GetTask@1=0x80070005");
    EXPECT_EQ(kv::test::runCommand(probe + L" xml \\Korvane \"From Probe\" \"" + (temp / L"out.xml") + L"\""),
              static_cast<DWORD>(E_ACCESSDENIED));
    SetEnvironmentVariableW(L"KV_TS20_FAULTS", nullptr);
    EXPECT_EQ(kv::test::runCommand(probe + L" xml \\Korvane \"From Probe\" \"" + (temp / L"out.xml") + L"\""),
              0u);
    EXPECT_EQ(readFileText(temp / L"out.xml"), xml.str());

    korvane.reset();
    task.reset();
    service.reset();
    auto unregisterServer =
        reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, "DllUnregisterServer")));
    ASSERT_NE(unregisterServer, nullptr);
    EXPECT_EQ(unregisterServer(), S_OK);
    size = sizeof(value);
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, key, nullptr, RRF_RT_REG_SZ, nullptr, value, &size),
              ERROR_SUCCESS);
    EXPECT_TRUE(contains(value, L"taskschd.dll"));
}

} // namespace
