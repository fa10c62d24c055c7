#include <windows.h>

#include "install-wpu/OperatingMode.h"

#include "InstallerTestSupport.h"
#include "test-support/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using testing::ElementsAre;
using testing::IsEmpty;

constexpr wchar_t Root[] = L"SOFTWARE\\Korvane\\Wisp";
constexpr wchar_t Updates[] = L"SOFTWARE\\Korvane\\Wisp\\updates";

// A registry value as stored: type and raw bytes.
struct Stored {
    DWORD type;
    std::vector<std::uint8_t> bytes;
};

Stored text(DWORD type, const std::wstring& value) {
    const auto* begin = reinterpret_cast<const std::uint8_t*>(value.c_str());
    return {type, std::vector<std::uint8_t>(begin, begin + (value.size() + 1) * sizeof(wchar_t))};
}

Stored number(DWORD type, DWORD value) {
    const auto* begin = reinterpret_cast<const std::uint8_t*>(&value);
    return {type, std::vector<std::uint8_t>(begin, begin + sizeof(value))};
}

void store(const std::wstring& key, const wchar_t* name, const Stored& value) {
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                              nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(handle, name, 0, value.type, value.bytes.data(),
                             static_cast<DWORD>(value.bytes.size())),
              ERROR_SUCCESS);
    RegCloseKey(handle);
}

struct ModeCase {
    const char* why;
    Stored value;
    bool expected;
};

class OperatingMode : public testing::Test {
protected:
    kv::test::RegistryTree tree_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane"};
};

TEST_F(OperatingMode, RookIsANonZeroDword) {
    const ModeCase cases[] = {
        {"REG_DWORD 2", number(REG_DWORD, 2), true},
        {"REG_DWORD 1", number(REG_DWORD, 1), true},
        {"REG_DWORD 0", number(REG_DWORD, 0), false},
        {"a 4-byte REG_NONE is read as a number", number(REG_NONE, 1), true},
        {"the string 1 is refused by the number read", text(REG_SZ, L"1"), false},
        {"REG_BINARY of 4 bytes", number(REG_BINARY, 1), false},
        {"REG_QWORD", {REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}}, false},
    };
    for (const ModeCase& row : cases) {
        SCOPED_TRACE(row.why);
        tree_.clear();
        wpu::test::CapturedLog log(L"rook-mode");
        store(Root, L"rook", row.value);
        EXPECT_EQ(isROOKOperatingMode(), row.expected);
        if (row.expected) {
            EXPECT_THAT(log.messages(),
                        ElementsAre(L" I: isROOKOperatingMode: \"rook\" operating mode detected."));
        } else {
            EXPECT_THAT(log.messages(), IsEmpty());
        }
    }
}

TEST_F(OperatingMode, RookIsOffWithoutTheValueOrTheKey) {
    EXPECT_FALSE(isROOKOperatingMode());
    store(Root, L"other", number(REG_DWORD, 1));
    EXPECT_FALSE(isROOKOperatingMode());
    // Only the product root counts, not a key below it.
    store(Updates, L"rook", number(REG_DWORD, 1));
    EXPECT_FALSE(isROOKOperatingMode());
}

TEST_F(OperatingMode, TebModeIsOneOfFourWordsInAString) {
    const ModeCase cases[] = {
        {"true", text(REG_SZ, L"true"), true},
        {"capitals", text(REG_SZ, L"TRUE"), true},
        {"mixed case yes", text(REG_SZ, L"Yes"), true},
        {"mixed case on", text(REG_SZ, L"oN"), true},
        {"1", text(REG_SZ, L"1"), true},
        {"1 as REG_EXPAND_SZ", text(REG_EXPAND_SZ, L"1"), true},
        {"yes as REG_EXPAND_SZ", text(REG_EXPAND_SZ, L"YES"), true},
        {"a leading blank", text(REG_SZ, L" true"), false},
        {"a trailing blank", text(REG_SZ, L"true "), false},
        {"another word", text(REG_SZ, L"enabled"), false},
        {"false", text(REG_SZ, L"false"), false},
        {"0", text(REG_SZ, L"0"), false},
        {"empty", text(REG_SZ, L""), false},
        {"a word with more after it", text(REG_SZ, L"yes please"), false},
        {"REG_DWORD 1 is not read", number(REG_DWORD, 1), false},
        {"REG_MULTI_SZ holding true", {REG_MULTI_SZ, text(REG_SZ, std::wstring(L"true\0", 5)).bytes}, false},
    };
    for (const ModeCase& row : cases) {
        SCOPED_TRACE(row.why);
        tree_.clear();
        wpu::test::CapturedLog log(L"teb-mode");
        store(Updates, L"TEBMode", row.value);
        EXPECT_EQ(isTEBMode(), row.expected);
        if (row.expected) {
            EXPECT_THAT(log.messages(), ElementsAre(L" I: ::readOperatingMode: \"TEBMode\" detected."));
        } else {
            EXPECT_THAT(log.messages(), IsEmpty());
        }
    }
}

TEST_F(OperatingMode, TebModeIsReadBelowTheUpdatesKeyOnly) {
    EXPECT_FALSE(isTEBMode());
    store(Root, L"TEBMode", text(REG_SZ, L"true"));
    EXPECT_FALSE(isTEBMode());
    store(Updates, L"tebmode", text(REG_SZ, L"true"));
    EXPECT_TRUE(isTEBMode()) << "value names are not case-sensitive";
}

} // namespace
