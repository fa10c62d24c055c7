#include <windows.h>

#include "Model.h"
#include "Xml.h"

#include <gtest/gtest.h>

namespace {

using namespace kv::ts20;

TEST(TaskXmlTypes, DateTimeAcceptsTheSchemasFormsOnly) {
    const struct {
        const wchar_t* text;
        bool valid;
    } rows[] = {
        {L"2026-12-04T06:40:05", true},
        {L"2026-12-04T06:40:05Z", true},
        {L"2026-12-04T06:40:05.123", true},
        {L"2026-12-04T06:40:05+05:45", true},
        {L"2024-02-29T00:00:00", true},
        {L"2026-02-29T00:00:00", false},
        {L"2026-13-01T00:00:00", false},
        {L"2026-12-04 06:40:05", false},
        {L"2026-12-04T24:00:00", false},
        {L"2026-12-04T06:40", false},
        {L"NEVER", false},
        {L"2026-12-04T06:40:05.", false},
        {L"2026-12-04T06:40:05+5:45", false},
        {L"", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(isDateTime(row.text), row.valid) << std::string(row.text, row.text + wcslen(row.text));
    }
}

TEST(TaskXmlTypes, DurationIsParsedIntoSeconds) {
    const struct {
        const wchar_t* text;
        bool valid;
        double seconds;
    } rows[] = {
        {L"PT10M", true, 600},    {L"PT1H1M", true, 3660}, {L"P3D", true, 259200}, {L"PT72H", true, 259200},
        {L"P1DT1S", true, 86401}, {L"PT0.5S", true, 0.5},  {L"PT", false, 0},      {L"P", false, 0},
        {L"P1DT", false, 0},      {L"PT1M1H", false, 0},   {L"10M", false, 0},     {L"PT1.5M", false, 0},
    };
    for (const auto& row : rows) {
        double seconds = -1;
        EXPECT_EQ(parseDuration(row.text, seconds), row.valid)
            << std::string(row.text, row.text + wcslen(row.text));
        if (row.valid) {
            EXPECT_DOUBLE_EQ(seconds, row.seconds);
        }
    }
}

TEST(TaskXml, TextsWithMarkupCharactersSurviveTheStore) {
    TaskData task;
    task.registration.description = L"a < b && \"c\" > d";
    task.data = L"<signature attr='1'/>";
    auto action = std::make_shared<ActionData>();
    action->path = L"C:\\Program Files\\K&V\\wpu.exe";
    action->arguments = L"--name \"Wisp Updater\"";
    task.actions.push_back(action);
    TaskData back;
    ASSERT_EQ(fromXml(toXml(task), back), S_OK);
    EXPECT_EQ(back.registration.description, task.registration.description);
    EXPECT_EQ(back.data, task.data);
    ASSERT_EQ(back.actions.size(), 1u);
    EXPECT_EQ(back.actions[0]->path, action->path);
    EXPECT_EQ(back.actions[0]->arguments, action->arguments);
}

TEST(TaskXml, BrokenDocumentsAreRefused) {
    TaskData task;
    EXPECT_EQ(fromXml(L"<Task><Settings></Task>", task), kSchedMalformedXml);
    EXPECT_EQ(fromXml(L"<Task>&bogus;</Task>", task), kSchedMalformedXml);
    EXPECT_EQ(fromXml(L"<Other />", task), kSchedMissingNode);
    EXPECT_EQ(
        fromXml(L"<Task><Principals><Principal><LogonType>Magic</LogonType></Principal></Principals></Task>",
                task),
        kSchedInvalidValue);
}

TEST(TaskXml, LogonTypeIsToldByTheElementOrTheAccount) {
    const struct {
        const wchar_t* principal;
        TASK_LOGON_TYPE expected;
    } rows[] = {
        {L"<UserId>builder</UserId><LogonType>Password</LogonType>", TASK_LOGON_PASSWORD},
        {L"<UserId>S-1-5-18</UserId>", TASK_LOGON_SERVICE_ACCOUNT},
        {L"<GroupId>NT AUTHORITY\\SYSTEM</GroupId>", TASK_LOGON_SERVICE_ACCOUNT},
        {L"<GroupId>Users</GroupId>", TASK_LOGON_GROUP},
        {L"<UserId>builder</UserId><LogonType>S4U</LogonType>", TASK_LOGON_S4U},
    };
    for (const auto& row : rows) {
        TaskData task;
        const std::wstring xml = std::wstring(L"<Task><Principals><Principal id=\"Author\">") +
                                 row.principal + L"</Principal></Principals></Task>";
        ASSERT_EQ(fromXml(xml, task), S_OK);
        EXPECT_EQ(task.principal.logonType, row.expected);
        // Written back, the same principal is read again.
        TaskData again;
        ASSERT_EQ(fromXml(toXml(task), again), S_OK);
        EXPECT_EQ(again.principal.logonType, row.expected);
    }
}

} // namespace
