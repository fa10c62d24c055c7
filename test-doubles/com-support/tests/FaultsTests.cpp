#include "com-support/Faults.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Faults, FailTheCallsTheTextNames) {
    const HRESULT X = E_ACCESSDENIED, Y = static_cast<HRESULT>(0x8004131F);
    const std::pair<const wchar_t*, std::vector<HRESULT>> rows[] = {
        {L"ITask::Run@2=0x80070005", {S_OK, X, S_OK, S_OK, S_OK}},
        {L"ITask::Run@3+=0x80070005", {S_OK, S_OK, X, X, X}},
        {L"ITask::Run@0=0x80070005", {X, X, X, X, X}},
        {L" ITask::Run @1=0x80070005; ITask::Run@4+=-2147216609;", {X, S_OK, S_OK, Y, Y}},
        {L"ITask::Other@1=0x80070005", {S_OK, S_OK, S_OK, S_OK, S_OK}},
    };
    for (const auto& [text, results] : rows) {
        SCOPED_TRACE(std::string(text, text + wcslen(text)));
        kv::doubles::clearFaults();
        EXPECT_TRUE(kv::doubles::addFaults(text));
        std::vector<HRESULT> calls;
        for (int call = 0; call < 5; ++call) {
            calls.push_back(kv::doubles::enterCall(L"ITask::Run", L"KV_NO_SUCH_VARIABLE"));
        }
        EXPECT_EQ(calls, results);
    }
    EXPECT_EQ(kv::doubles::callCount(L"ITask::Run"), 5u);
    kv::doubles::clearFaults();
    EXPECT_EQ(kv::doubles::callCount(L"ITask::Run"), 0u);
}

TEST(Faults, RefuseMalformedTextsWhole) {
    for (const wchar_t* text :
         {L"ITask::Run=0x80070005", L"@1=0x80070005", L" @1=1", L"ITask::Run@x=1", L"ITask::Run@1=",
          L"ITask::Run@1=0x80070005z", L"ITask::Run@1-=5", L"A@1=1;ITask::Run@1"}) {
        kv::doubles::clearFaults();
        EXPECT_FALSE(kv::doubles::addFaults(text)) << std::string(text, text + wcslen(text));
        EXPECT_EQ(kv::doubles::enterCall(L"A", L"KV_NO_SUCH_VARIABLE"), S_OK) << "nothing added";
    }
}

} // namespace
