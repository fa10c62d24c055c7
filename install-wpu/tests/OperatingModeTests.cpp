#include <windows.h>

#include "install-wpu/OperatingMode.h"

#include "InstallerTestSupport.h"
#include "kvtl/Str.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using kv::test::Bytes;

const std::wstring Root = L"SOFTWARE\\Korvane\\Wisp";
const std::wstring Updates = Root + L"\\updates";

Bytes text(const std::wstring& value) {
    return kv::test::bytesOf(value + L'\0');
}

const Bytes One = {1, 0, 0, 0};

struct ModeCase {
    std::string why;
    std::wstring key;
    const wchar_t* name;
    DWORD type;
    Bytes value;
    bool expected;
};

void checkModes(const std::vector<ModeCase>& cases, bool (*mode)(), const std::wstring& detectedLine) {
    kv::test::RegistryTree tree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane");
    for (const ModeCase& row : cases) {
        SCOPED_TRACE(row.why);
        tree.clear();
        wpu::test::CapturedLog log(L"operating-mode");
        if (row.name != nullptr) {
            ASSERT_TRUE(kv::test::writeValue(HKEY_LOCAL_MACHINE, row.key, row.name, row.type, row.value));
        }
        EXPECT_EQ(mode(), row.expected);
        EXPECT_EQ(log.messages(),
                  row.expected ? std::vector<std::wstring>{detectedLine} : std::vector<std::wstring>{});
    }
}

TEST(OperatingMode, RookIsANonZeroDwordInTheProductRoot) {
    checkModes({{"REG_DWORD 1", Root, L"rook", REG_DWORD, One, true},
                {"REG_DWORD 0", Root, L"rook", REG_DWORD, {0, 0, 0, 0}, false},
                {"a 4-byte REG_NONE is read as a number", Root, L"rook", REG_NONE, One, true},
                {"the string 1 is refused by the number read", Root, L"rook", REG_SZ, text(L"1"), false},
                {"REG_BINARY of 4 bytes", Root, L"rook", REG_BINARY, One, false},
                {"REG_QWORD", Root, L"rook", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}, false},
                {"no value", Root, nullptr, 0, {}, false},
                {"another value", Root, L"other", REG_DWORD, One, false},
                {"below the product root", Updates, L"rook", REG_DWORD, One, false}},
               isROOKOperatingMode, L" I: isROOKOperatingMode: \"rook\" operating mode detected.");
}

TEST(OperatingMode, TebModeIsOneOfFourWordsInAStringBelowTheUpdatesKey) {
    std::vector<ModeCase> cases = {
        {"REG_DWORD 1 is not read", Updates, L"TEBMode", REG_DWORD, One, false},
        {"REG_MULTI_SZ holding true", Updates, L"TEBMode", REG_MULTI_SZ, text(std::wstring(L"true\0", 5)),
         false},
        {"1 as REG_EXPAND_SZ", Updates, L"TEBMode", REG_EXPAND_SZ, text(L"1"), true},
        {"in the product root", Root, L"TEBMode", REG_SZ, text(L"true"), false},
        {"no value", Updates, nullptr, 0, {}, false},
    };
    const std::pair<const wchar_t*, bool> strings[] = {
        {L"true", true},   {L"TRUE", true},   {L"Yes", true},    {L"oN", true},
        {L"1", true},      {L" true", false}, {L"true ", false}, {L"enabled", false},
        {L"false", false}, {L"0", false},     {L"", false},      {L"yes please", false},
    };
    for (const auto& [value, expected] : strings) {
        cases.push_back({"REG_SZ '" + kv::str::wideToUtf8(value) + "'", Updates, L"TEBMode", REG_SZ,
                         text(value), expected});
    }
    checkModes(cases, isTEBMode, L" I: ::readOperatingMode: \"TEBMode\" detected.");
}

} // namespace
