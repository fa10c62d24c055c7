#include <windows.h>
#include <sddl.h>

#include "kvtl/Handle.h"
#include "kvtl/Str.h"
#include "test-support/TestSupport.h"
#include "winenv/Registry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <tuple>
#include <utility>

namespace {

using Bytes = std::vector<std::uint8_t>;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr wchar_t kBase[] = L"SOFTWARE\\KvWinenvTests\\";

std::wstring currentTestName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    return std::wstring(name.begin(), name.end());
}

Bytes bytesOf(const std::wstring& text) {
    Bytes bytes(text.size() * sizeof(wchar_t));
    std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

// Every test works below its own key of HKLM\SOFTWARE in the 64-bit view, which is
// removed (in both views) before and after it. Raw reads and writes bypass the class.
class RegistryTest : public ::testing::Test {
protected:
    RegistryTest() : path_(kBase + currentTestName()), tree_(HKEY_LOCAL_MACHINE, path_) {
        registry_.setSamFlags(KEY_WOW64_64KEY);
    }
    void SetUp() override { ASSERT_TRUE(registry_.createKeyPath(path_)); }

    std::wstring at(const std::wstring& sub) const { return path_ + L"\\" + sub; }

    void putRaw(const std::wstring& name, DWORD type, const Bytes& data, const std::wstring& key = L"") {
        HKEY handle = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (key.empty() ? path_ : at(key)).c_str(), 0, nullptr, 0,
                                  KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &handle, nullptr),
                  ERROR_SUCCESS);
        kv::UniqueHkey owner(handle);
        ASSERT_EQ(RegSetValueExW(handle, name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
    }

    // The stored type and bytes, or {0, {}} when the value cannot be read.
    std::pair<DWORD, Bytes> getRaw(const std::wstring& name, REGSAM view = KEY_WOW64_64KEY) const {
        HKEY handle = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, KEY_QUERY_VALUE | view, &handle) != 0) {
            return {};
        }
        kv::UniqueHkey owner(handle);
        DWORD type = 0;
        DWORD size = 0;
        if (RegQueryValueExW(handle, name.c_str(), nullptr, &type, nullptr, &size) != 0) {
            return {};
        }
        Bytes data(size);
        RegQueryValueExW(handle, name.c_str(), nullptr, &type, data.data(), &size);
        return {type, data};
    }

    // Reports the status both ways: the out-parameter and lastStatus() must agree.
    RegistryStatus checked(RegistryStatus status) {
        EXPECT_EQ(status, registry_.lastStatus());
        return status;
    }
    // The status of a call that must fail.
    RegistryStatus failure(bool ok) {
        EXPECT_FALSE(ok);
        return checked(status_);
    }

    std::wstring path_;
    kv::test::RegistryTree tree_;
    LightWin32Registry registry_;
    RegistryStatus status_ = RegistryStatus::Ok;
};

TEST_F(RegistryTest, StringsRoundTripThroughEveryForm) {
    const std::wstring text = L"Gr\u00fc\u00dfe \u2713 \U0001D11E";
    const std::wstring name = L"Wert \u00e4";
    const std::string text8 = kv::str::wideToUtf8(text);
    const std::string name8 = kv::str::wideToUtf8(name);
    const std::string path8 = kv::str::wideToUtf8(path_);
    const std::function<bool()> setters[] = {
        [&] { return registry_.setString(path8, name8, text8); },
        [&] { return registry_.setString(path_, name, text8); },
        [&] { return registry_.setString(path8, name8, text); },
        [&] { return registry_.setString(path_, name, text); },
    };
    for (const auto& set : setters) {
        registry_.deleteValue(path_, name);
        ASSERT_TRUE(set());
        EXPECT_EQ(getRaw(name), std::make_pair(DWORD{REG_SZ}, bytesOf(text + L'\0')));
        std::wstring wide1, wide2;
        std::string narrow1, narrow2;
        EXPECT_TRUE(registry_.getString(path_, name, wide1) && registry_.getString(path8, name8, wide2) &&
                    registry_.getString(path_, name, narrow1) && registry_.getString(path8, name8, narrow2));
        EXPECT_EQ(std::tie(wide1, wide2, narrow1, narrow2), std::tie(text, text, text8, text8));
    }
}

TEST_F(RegistryTest, GetStringAcceptsOnlyStringsAndCopesWithOddData) {
    struct Row {
        const wchar_t* why;
        DWORD type;
        Bytes data;
        RegistryStatus status;
        std::wstring text;
    };
    Bytes oddBytes = bytesOf(L"ab");
    oddBytes.push_back('c');
    const Row rows[] = {
        {L"terminated", REG_SZ, bytesOf(std::wstring(L"abc") + L'\0'), RegistryStatus::Ok, L"abc"},
        {L"unterminated", REG_SZ, bytesOf(L"abc"), RegistryStatus::Ok, L"abc"},
        {L"expandable, not expanded", REG_EXPAND_SZ, bytesOf(L"%TEMP%"), RegistryStatus::Ok, L"%TEMP%"},
        {L"odd byte count", REG_SZ, oddBytes, RegistryStatus::Ok, L"ab"},
        {L"no data at all", REG_SZ, {}, RegistryStatus::Ok, L""},
        {L"a number", REG_DWORD, {1, 0, 0, 0}, RegistryStatus::TypeMismatch, L""},
        {L"a huge blob", REG_BINARY, Bytes(1 << 20, 'x'), RegistryStatus::TypeMismatch, L""},
        {L"a multi-string", REG_MULTI_SZ, bytesOf(std::wstring(L"a\0\0", 3)), RegistryStatus::TypeMismatch,
         L""},
    };
    for (const Row& row : rows) {
        putRaw(L"v", row.type, row.data);
        std::wstring text = L"stale";
        EXPECT_EQ(registry_.getString(path_, L"v", text, &status_), row.status == RegistryStatus::Ok)
            << row.why;
        EXPECT_EQ(checked(status_), row.status) << row.why;
        EXPECT_EQ(text, row.text) << row.why;
    }

    putRaw(L"huge", REG_SZ, bytesOf(std::wstring(1 << 19, L'h')));
    std::wstring text;
    EXPECT_TRUE(registry_.getString(path_, L"huge", text));
    EXPECT_EQ(text, std::wstring(1 << 19, L'h'));

    for (const auto& [key, name] : {std::pair(path_, L"missing"), std::pair(at(L"missing"), L"v")}) {
        text = L"stale";
        EXPECT_EQ(failure(registry_.getString(key, name, text, &status_)), RegistryStatus::NotFound);
        EXPECT_EQ(text, L"");
    }
}

TEST_F(RegistryTest, NumbersNeedTheirTypeAndExactSize) {
    struct Row {
        const wchar_t* why;
        DWORD type;
        Bytes data;
        bool qword;
        RegistryStatus status;
        std::uint64_t value;
    };
    const Bytes eight = {1, 2, 3, 4, 5, 6, 7, 8};
    const Row rows[] = {
        {L"dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}, false, RegistryStatus::Ok, 0x12345678},
        {L"untyped dword", REG_NONE, {1, 0, 0, 0}, false, RegistryStatus::Ok, 1},
        {L"two-byte dword", REG_DWORD, {1, 2}, false, RegistryStatus::Failed, 0},
        {L"empty dword", REG_DWORD, {}, false, RegistryStatus::Failed, 0},
        {L"eight-byte dword", REG_DWORD, eight, false, RegistryStatus::Failed, 0},
        {L"huge dword", REG_DWORD, Bytes(1 << 20, 1), false, RegistryStatus::Failed, 0},
        {L"string as dword", REG_SZ, {'1', 0, 0, 0}, false, RegistryStatus::TypeMismatch, 0},
        {L"qword as dword", REG_QWORD, {1, 0, 0, 0}, false, RegistryStatus::TypeMismatch, 0},
        {L"qword", REG_QWORD, eight, true, RegistryStatus::Ok, 0x0807060504030201},
        {L"untyped qword", REG_NONE, eight, true, RegistryStatus::Ok, 0x0807060504030201},
        {L"four-byte qword", REG_QWORD, {1, 2, 3, 4}, true, RegistryStatus::Failed, 0},
        {L"dword as qword", REG_DWORD, eight, true, RegistryStatus::TypeMismatch, 0},
    };
    constexpr std::uint64_t kUntouched = 0xDEADBEEFCAFEF00D;
    for (const Row& row : rows) {
        putRaw(L"n", row.type, row.data);
        std::uint64_t value = kUntouched;
        bool ok = false;
        if (row.qword) {
            ok = registry_.getQword(path_, L"n", value, &status_);
        } else {
            DWORD dword = static_cast<DWORD>(kUntouched);
            ok = registry_.getDword(path_, L"n", dword, &status_);
            value = dword == static_cast<DWORD>(kUntouched) ? kUntouched : dword;
        }
        EXPECT_EQ(ok, row.status == RegistryStatus::Ok) << row.why;
        EXPECT_EQ(checked(status_), row.status) << row.why;
        EXPECT_EQ(value, ok ? row.value : kUntouched) << row.why;
    }

    DWORD dword = 7;
    EXPECT_EQ(failure(registry_.getDword(path_, L"missing", dword, &status_)), RegistryStatus::NotFound);
    EXPECT_EQ(failure(registry_.getDword(at(L"missing"), L"n", dword, &status_)), RegistryStatus::NotFound);
    EXPECT_EQ(dword, 7u);

    ASSERT_TRUE(registry_.setDword(path_, L"d", 0xA1B2C3D4));
    EXPECT_EQ(getRaw(L"d"), std::make_pair(DWORD{REG_DWORD}, Bytes{0xD4, 0xC3, 0xB2, 0xA1}));
    ASSERT_TRUE(registry_.setQword(path_, L"q", 0x0102030405060708));
    EXPECT_EQ(getRaw(L"q"), std::make_pair(DWORD{REG_QWORD}, Bytes{8, 7, 6, 5, 4, 3, 2, 1}));
}

TEST_F(RegistryTest, MultiStringBlockLayout) {
    struct Written {
        std::vector<std::wstring> values;
        std::wstring block;
    };
    const Written written[] = {
        {{}, std::wstring(2, L'\0')},
        {{L"a"}, std::wstring(L"a\0\0", 3)},
        {{L"one", L"two"}, std::wstring(L"one\0two\0\0", 9)},
    };
    for (const Written& row : written) {
        ASSERT_TRUE(registry_.setMultiString(path_, L"m", row.values));
        EXPECT_EQ(getRaw(L"m"), std::make_pair(DWORD{REG_MULTI_SZ}, bytesOf(row.block)));
        std::vector<std::wstring> back;
        EXPECT_TRUE(registry_.getMultiString(path_, L"m", back));
        EXPECT_EQ(back, row.values);
    }

    // An empty element refuses the whole call: the stored value stays as it was.
    EXPECT_EQ(failure(registry_.setMultiString(path_, L"m", {L"x", L"", L"y"}, &status_)),
              RegistryStatus::InvalidArgument);
    EXPECT_EQ(getRaw(L"m").second, bytesOf(std::wstring(L"one\0two\0\0", 9)));
    EXPECT_FALSE(registry_.setMultiString(path_, L"fresh", {L""}, &status_));
    EXPECT_EQ(getRaw(L"fresh").first, 0u);
}

TEST_F(RegistryTest, MultiStringReadingStopsAtTheEndOfWellFormedData) {
    struct Row {
        const wchar_t* why;
        Bytes data;
        std::vector<std::wstring> values;
    };
    Bytes odd = bytesOf(std::wstring(L"a\0b\0", 4));
    odd.push_back('c');
    const Row rows[] = {
        {L"well formed", bytesOf(std::wstring(L"a\0b\0\0", 5)), {L"a", L"b"}},
        {L"no closing NUL", bytesOf(std::wstring(L"a\0b\0", 4)), {L"a", L"b"}},
        {L"ends mid-string", bytesOf(std::wstring(L"a\0bc", 4)), {L"a"}},
        {L"stops at the first empty element", bytesOf(std::wstring(L"a\0\0b\0\0", 6)), {L"a"}},
        {L"odd byte count", odd, {L"a", L"b"}},
        {L"one byte", {'a'}, {}},
        {L"no data", {}, {}},
        {L"only a NUL", {0, 0}, {}},
    };
    for (const Row& row : rows) {
        putRaw(L"m", REG_MULTI_SZ, row.data);
        std::vector<std::wstring> values = {L"stale"};
        EXPECT_TRUE(registry_.getMultiString(path_, L"m", values)) << row.why;
        EXPECT_EQ(values, row.values) << row.why;
    }
    putRaw(L"s", REG_SZ, bytesOf(std::wstring(L"a\0\0", 3)));
    std::vector<std::wstring> values = {L"stale"};
    EXPECT_EQ(failure(registry_.getMultiString(path_, L"s", values, &status_)), RegistryStatus::TypeMismatch);
    EXPECT_THAT(values, IsEmpty());
}

TEST_F(RegistryTest, BinaryRawValuesTypesAndDeletion) {
    const Bytes big(1 << 20, 0xA5);
    for (const Bytes& data : {Bytes{}, Bytes{0, 1, 2, 0}, big}) {
        ASSERT_TRUE(registry_.setBinary(path_, L"b", data));
        EXPECT_EQ(getRaw(L"b"), std::make_pair(DWORD{REG_BINARY}, data));
        Bytes back = {9};
        EXPECT_TRUE(registry_.getBinary(path_, L"b", back));
        EXPECT_EQ(back, data);
    }

    putRaw(L"s", REG_SZ, bytesOf(L"text"));
    Bytes data = {9};
    EXPECT_EQ(failure(registry_.getBinary(path_, L"s", data, &status_)), RegistryStatus::TypeMismatch);
    EXPECT_THAT(data, IsEmpty());

    DWORD type = 0;
    EXPECT_TRUE(registry_.getRawValue(path_, L"s", data, type));
    EXPECT_EQ(type, DWORD{REG_SZ});
    EXPECT_EQ(data, bytesOf(L"text"));
    EXPECT_EQ(registry_.getValueType(path_, L"s"), DWORD{REG_SZ});
    EXPECT_EQ(registry_.getValueType(path_, L"b"), DWORD{REG_BINARY});

    EXPECT_TRUE(registry_.deleteValue(path_, L"s"));
    EXPECT_EQ(failure(registry_.getRawValue(path_, L"s", data, type, &status_)), RegistryStatus::NotFound);
    EXPECT_THAT(data, IsEmpty());
    EXPECT_EQ(type, 0u);
    EXPECT_EQ(registry_.getValueType(path_, L"s", &status_), 0u);
    EXPECT_EQ(status_, RegistryStatus::NotFound);
    EXPECT_EQ(failure(registry_.deleteValue(path_, L"s", &status_)), RegistryStatus::NotFound);
}

TEST_F(RegistryTest, KeysAreCreatedCheckedAndDeleted) {
    // A value needs its key: setString does not create it, createKeyPath does.
    EXPECT_EQ(failure(registry_.setString(at(L"a\\b"), L"v", L"x", &status_)), RegistryStatus::NotFound);
    EXPECT_TRUE(registry_.createKeyPath(at(L"a\\b")));
    EXPECT_TRUE(registry_.setString(at(L"a\\b"), L"v", L"x"));
    EXPECT_EQ(registry_.lastStatus(), RegistryStatus::Ok);

    EXPECT_TRUE(registry_.keyExists(at(L"a")));
    EXPECT_TRUE(registry_.subKeyExists(at(L"a"), L"b"));
    EXPECT_EQ(failure(registry_.subKeyExists(at(L"a"), L"c", &status_)), RegistryStatus::NotFound);

    // A key with sub-keys is not deleted; deleteTree takes everything.
    EXPECT_FALSE(registry_.deleteKey(path_, L"a"));
    EXPECT_TRUE(registry_.keyExists(at(L"a\\b")));
    EXPECT_TRUE(registry_.createKey(at(L"a"), L"c"));
    EXPECT_TRUE(registry_.deleteKey(at(L"a\\c")));
    EXPECT_FALSE(registry_.keyExists(at(L"a\\c")));
    EXPECT_EQ(failure(registry_.deleteKey(at(L"a\\c"), &status_)), RegistryStatus::NotFound);
    EXPECT_TRUE(registry_.deleteTree(path_, L"a"));
    EXPECT_EQ(failure(registry_.keyExists(at(L"a"), &status_)), RegistryStatus::NotFound);

    // Refused arguments: nothing reaches the registry.
    EXPECT_EQ(failure(registry_.createKey(path_, L"", &status_)), RegistryStatus::InvalidArgument);
    EXPECT_EQ(failure(registry_.subKeyExists(path_, L"", &status_)), RegistryStatus::InvalidArgument);
    EXPECT_EQ(failure(registry_.deleteKey(path_, L"", &status_)), RegistryStatus::InvalidArgument);
    EXPECT_EQ(failure(registry_.deleteKey(L"SOFTWARE", &status_)), RegistryStatus::InvalidArgument);
    EXPECT_EQ(failure(registry_.deleteTree(path_, L"", &status_)), RegistryStatus::InvalidArgument);
    EXPECT_TRUE(registry_.keyExists(path_));
    // The system refuses a name of 300 characters with ERROR_INVALID_PARAMETER.
    EXPECT_EQ(failure(registry_.createKey(path_, std::wstring(300, L'k'), &status_)),
              RegistryStatus::InvalidArgument);
}

TEST_F(RegistryTest, CreateKeyPassesItsOptions) {
    ASSERT_TRUE(registry_.createKey(path_, L"volatile", REG_OPTION_VOLATILE));
    EXPECT_TRUE(registry_.createKey(at(L"volatile"), L"child", REG_OPTION_VOLATILE));
    // Under a volatile key the system refuses a key that would outlive it.
    EXPECT_EQ(failure(registry_.createKey(at(L"volatile"), L"lasting", &status_)), RegistryStatus::Failed);
    EXPECT_EQ(failure(registry_.createKeyPath(at(L"volatile\\lasting\\deeper"), &status_)),
              RegistryStatus::Failed);
    EXPECT_FALSE(registry_.keyExists(at(L"volatile\\lasting")));
}

// Records the key creations of createKeyPath instead of making them.
class RecordingRegistry : public LightWin32Registry {
public:
    using LightWin32Registry::createKey;
    bool createKey(const std::wstring& parent, const std::wstring& sub, DWORD options,
                   RegistryStatus* status) override {
        calls.emplace_back(parent + L" + " + sub + L" / " + std::to_wstring(options));
        if (status != nullptr) {
            *status = parent == failAt ? RegistryStatus::AccessDenied : RegistryStatus::Ok;
        }
        return parent != failAt;
    }
    std::vector<std::wstring> calls;
    std::wstring failAt;
};

TEST_F(RegistryTest, CreateKeyPathCreatesEveryLevelBelowTheTopTopDown) {
    RecordingRegistry recording;
    EXPECT_TRUE(recording.createKeyPath(L"SOFTWARE\\A\\B\\C"));
    EXPECT_THAT(recording.calls,
                ElementsAre(L"SOFTWARE + A / 0", L"SOFTWARE\\A + B / 0", L"SOFTWARE\\A\\B + C / 0"));

    // A level that cannot be made ends the walk there.
    recording.calls.clear();
    recording.failAt = L"SOFTWARE\\A";
    RegistryStatus status = RegistryStatus::Ok;
    EXPECT_FALSE(recording.createKeyPath(L"SOFTWARE\\A\\B\\C", &status));
    EXPECT_EQ(status, RegistryStatus::AccessDenied);
    EXPECT_THAT(recording.calls, ElementsAre(L"SOFTWARE + A / 0", L"SOFTWARE\\A + B / 0"));

    // A top-level key is taken to exist; a leading backslash is refused.
    recording.calls.clear();
    EXPECT_TRUE(recording.createKeyPath(L"KvNoSuchTopLevelKey", &status));
    EXPECT_TRUE(recording.createKeyPath(L"", &status));
    EXPECT_EQ(status, RegistryStatus::Ok);
    EXPECT_FALSE(recording.createKeyPath(L"\\A\\B", &status));
    EXPECT_EQ(status, RegistryStatus::InvalidArgument);
    EXPECT_THAT(recording.calls, IsEmpty());
    EXPECT_FALSE(registry_.keyExists(L"KvNoSuchTopLevelKey"));
}

TEST_F(RegistryTest, EnumerationListsNamesInOrderAndFailsOnOverlongNames) {
    std::vector<std::wstring> names = {L"stale"};
    EXPECT_EQ(registry_.enumSubKeys(path_, names, &status_), 0u);
    EXPECT_EQ(checked(status_), RegistryStatus::Ok);
    EXPECT_THAT(names, IsEmpty());

    const std::wstring longest(255, L'k');
    for (const auto& name : {std::wstring(L"one"), longest, std::wstring(L"two")}) {
        ASSERT_TRUE(registry_.createKey(path_, name));
    }
    EXPECT_EQ(registry_.enumSubKeys(path_, names), 3u);
    EXPECT_THAT(names, ::testing::UnorderedElementsAre(L"one", longest, L"two"));

    putRaw(std::wstring(16383, L'v'), REG_SZ, {});
    putRaw(L"short", REG_SZ, {});
    EXPECT_EQ(registry_.enumValueNames(path_, names), 2u);
    EXPECT_THAT(names, ::testing::UnorderedElementsAre(L"short", std::wstring(16383, L'v')));

    names = {L"stale"};
    EXPECT_EQ(registry_.enumValueNames(at(L"missing"), names, &status_), 0u);
    EXPECT_EQ(status_, RegistryStatus::NotFound);
    EXPECT_THAT(names, IsEmpty());

    // Wine accepts a 256-character key name (Windows stops at 255), which no
    // enumeration buffer here holds.
    if (!registry_.createKey(path_, std::wstring(256, L'x'))) {
        GTEST_SKIP() << "the system refuses 256-character key names";
    }
    names = {L"stale"};
    EXPECT_EQ(registry_.enumSubKeys(path_, names, &status_), 0u);
    EXPECT_EQ(checked(status_), RegistryStatus::Failed);
    EXPECT_THAT(names, IsEmpty());
}

TEST_F(RegistryTest, NarrowFormsAddressTheSameKeysAndValues) {
    const std::string p(path_.begin(), path_.end());
    const std::string key = p + "\\Schl\xc3\xbcssel";
    const std::wstring wideKey = path_ + L"\\Schl\u00fcssel";
    const std::string name = "n\xc3\xa4me";
    const std::wstring wideName = L"n\u00e4me";

    EXPECT_TRUE(registry_.createKeyPath(key + "\\a"));
    EXPECT_TRUE(registry_.keyExists(wideKey + L"\\a"));
    EXPECT_TRUE(registry_.createKey(key, "b\xc3\xa4"));
    EXPECT_TRUE(registry_.createKey(key, "v", REG_OPTION_VOLATILE));
    EXPECT_TRUE(registry_.keyExists(key + "\\v"));
    EXPECT_TRUE(registry_.subKeyExists(key, "b\xc3\xa4"));
    std::vector<std::string> names;
    EXPECT_EQ(registry_.enumSubKeys(key, names), 3u);
    EXPECT_THAT(names, ::testing::UnorderedElementsAre("a", "b\xc3\xa4", "v"));
    EXPECT_TRUE(registry_.deleteKey(key, "v"));
    EXPECT_TRUE(registry_.deleteKey(key + "\\b\xc3\xa4"));
    EXPECT_FALSE(registry_.subKeyExists(wideKey, L"b\u00e4"));

    EXPECT_TRUE(registry_.setDword(key, name, 7));
    DWORD dword = 0;
    EXPECT_TRUE(registry_.getDword(wideKey, wideName, dword));
    EXPECT_EQ(dword, 7u);
    EXPECT_TRUE(registry_.getDword(key, name, dword));
    EXPECT_EQ(registry_.getValueType(key, name), DWORD{REG_DWORD});
    EXPECT_TRUE(registry_.setQword(key, name, 1ull << 40));
    std::uint64_t qword = 0;
    EXPECT_TRUE(registry_.getQword(key, name, qword));
    EXPECT_EQ(qword, 1ull << 40);
    EXPECT_TRUE(registry_.setMultiString(key, name, {"\xc3\xa4", "b"}));
    std::vector<std::wstring> wideValues;
    EXPECT_TRUE(registry_.getMultiString(wideKey, wideName, wideValues));
    EXPECT_THAT(wideValues, ElementsAre(L"\u00e4", L"b"));
    std::vector<std::string> values;
    EXPECT_TRUE(registry_.getMultiString(key, name, values));
    EXPECT_THAT(values, ElementsAre("\xc3\xa4", "b"));
    EXPECT_TRUE(registry_.setBinary(key, name, {1, 2}));
    Bytes data;
    EXPECT_TRUE(registry_.getBinary(key, name, data));
    EXPECT_EQ(data, (Bytes{1, 2}));
    DWORD type = 0;
    EXPECT_TRUE(registry_.getRawValue(key, name, data, type));
    EXPECT_EQ(type, DWORD{REG_BINARY});
    EXPECT_EQ(registry_.enumValueNames(key, names), 1u);
    EXPECT_THAT(names, ElementsAre(name));
    EXPECT_TRUE(registry_.deleteValue(key, name));
    EXPECT_EQ(registry_.getValueType(wideKey, wideName), 0u);

    EXPECT_TRUE(registry_.deleteTree(p, "Schl\xc3\xbcssel"));
    EXPECT_FALSE(registry_.keyExists(wideKey));
}

TEST_F(RegistryTest, ViewsAreDifferentKeys) {
    LightWin32Registry view32;
    view32.setSamFlags(KEY_WOW64_32KEY);
    ASSERT_TRUE(view32.createKeyPath(at(L"only32")));
    ASSERT_TRUE(view32.setDword(path_, L"view", 32));
    ASSERT_TRUE(registry_.setDword(path_, L"view", 64));

    DWORD value = 0;
    EXPECT_TRUE(view32.getDword(path_, L"view", value));
    EXPECT_EQ(value, 32u);
    EXPECT_TRUE(registry_.getDword(path_, L"view", value));
    EXPECT_EQ(value, 64u);
    EXPECT_EQ(getRaw(L"view", KEY_WOW64_32KEY).second, (Bytes{32, 0, 0, 0}));
    EXPECT_FALSE(registry_.keyExists(at(L"only32")));
    EXPECT_TRUE(view32.keyExists(at(L"only32")));
    EXPECT_TRUE(view32.deleteKey(at(L"only32")));
    EXPECT_FALSE(view32.keyExists(at(L"only32")));
    EXPECT_TRUE(registry_.getDword(path_, L"view", value));
}

TEST_F(RegistryTest, SetRootRedirectsLaterOperations) {
    kv::test::RegistryTree userTree(HKEY_CURRENT_USER, L"Software\\" + currentTestName());
    registry_.setRoot(HKEY_CURRENT_USER);
    ASSERT_TRUE(registry_.createKeyPath(userTree.path()));
    ASSERT_TRUE(registry_.setString(userTree.path(), L"v", L"user"));
    DWORD size = 0;
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, userTree.path().c_str(), L"v", RRF_RT_REG_SZ, nullptr, nullptr,
                           &size),
              ERROR_SUCCESS);
    EXPECT_FALSE(registry_.keyExists(path_));
}

TEST_F(RegistryTest, AccessDeniedIsReported) {
    ASSERT_TRUE(registry_.createKey(path_, L"locked"));
    ASSERT_TRUE(registry_.setDword(at(L"locked"), L"v", 1));
    // An empty protected DACL: only the owner's implicit READ_CONTROL and WRITE_DAC remain.
    auto setDacl = [this](const wchar_t* sddl) {
        HKEY key = nullptr;
        ASSERT_EQ(
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, at(L"locked").c_str(), 0, WRITE_DAC | KEY_WOW64_64KEY, &key),
            ERROR_SUCCESS);
        kv::UniqueHkey owner(key);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                                         nullptr));
        kv::UniqueLocal descriptorOwner(descriptor);
        ASSERT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor), ERROR_SUCCESS);
    };
    setDacl(L"D:P");

    DWORD value = 5;
    EXPECT_EQ(failure(registry_.getDword(at(L"locked"), L"v", value, &status_)),
              RegistryStatus::AccessDenied);
    EXPECT_EQ(value, 5u);
    EXPECT_EQ(failure(registry_.setString(at(L"locked"), L"v", L"x", &status_)),
              RegistryStatus::AccessDenied);
    std::vector<std::wstring> names = {L"stale"};
    EXPECT_EQ(registry_.enumValueNames(at(L"locked"), names, &status_), 0u);
    EXPECT_EQ(status_, RegistryStatus::AccessDenied);
    EXPECT_THAT(names, IsEmpty());
    EXPECT_TRUE(registry_.keyExists(at(L"locked")));

    setDacl(L"D:(A;;KA;;;WD)");
}

} // namespace
