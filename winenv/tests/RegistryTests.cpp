#include "WinenvTest.h"
#include "winenv/Registry.h"

#include <gmock/gmock.h>

#include <optional>
#include <tuple>
#include <utility>

namespace {

using kv::test::Bytes;
using kv::test::bytesOf;
using kv::test::RegValue;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
using namespace std::string_literals;

// Every test works below its own key of HKLM\SOFTWARE in the 64-bit view, which is
// removed (in both views) before and after it. Raw reads and writes bypass the class.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        registry_.setSamFlags(KEY_WOW64_64KEY);
        ASSERT_TRUE(registry_.createKeyPath(path_));
    }
    std::wstring at(const std::wstring& sub) const { return path_ + L"\\" + sub; }
    void putRaw(const std::wstring& name, DWORD type, const Bytes& data) {
        ASSERT_TRUE(kv::test::writeValue(HKEY_LOCAL_MACHINE, path_, name.c_str(), type, data));
    }
    std::optional<RegValue> getRaw(const std::wstring& name, REGSAM view = KEY_WOW64_64KEY) const {
        return kv::test::readValue(HKEY_LOCAL_MACHINE, path_, name, view);
    }
    // The status of a call that must fail; the out-parameter and lastStatus() must agree.
    RegistryStatus failure(bool ok) {
        EXPECT_FALSE(ok);
        EXPECT_EQ(status_, registry_.lastStatus());
        return status_;
    }

    const std::wstring path_ = L"SOFTWARE\\KvWinenvTests\\" + testName();
    kv::test::RegistryTree tree_{HKEY_LOCAL_MACHINE, path_};
    LightWin32Registry registry_;
    RegistryStatus status_ = RegistryStatus::Ok;
};

TEST_F(RegistryTest, GetStringAcceptsOnlyStringsAndCopesWithOddData) {
    const std::tuple<const wchar_t*, DWORD, Bytes, RegistryStatus, std::wstring> rows[] = {
        {L"terminated", REG_SZ, bytesOf(L"abc\0"s), RegistryStatus::Ok, L"abc"},
        {L"unterminated", REG_SZ, bytesOf(L"abc"), RegistryStatus::Ok, L"abc"},
        {L"expandable, not expanded", REG_EXPAND_SZ, bytesOf(L"%TEMP%"), RegistryStatus::Ok, L"%TEMP%"},
        {L"odd byte count", REG_SZ, {'a', 0, 'b', 0, 'c'}, RegistryStatus::Ok, L"ab"},
        {L"no data at all", REG_SZ, {}, RegistryStatus::Ok, L""},
        {L"a number", REG_DWORD, {1, 0, 0, 0}, RegistryStatus::TypeMismatch, L""},
        {L"a multi-string", REG_MULTI_SZ, bytesOf(L"a\0\0"s), RegistryStatus::TypeMismatch, L""},
    };
    for (const auto& [why, type, data, status, expected] : rows) {
        putRaw(L"v", type, data);
        std::wstring text = L"stale";
        const bool ok = registry_.getString(path_, L"v", text, &status_);
        EXPECT_EQ(std::make_tuple(ok, status_, registry_.lastStatus(), text),
                  std::make_tuple(status == RegistryStatus::Ok, status, status, expected))
            << why;
    }
}

TEST_F(RegistryTest, NumbersNeedTheirTypeAndExactSizeAndStayUntouchedOnFailure) {
    const std::tuple<const wchar_t*, DWORD, Bytes, RegistryStatus, DWORD> rows[] = {
        {L"dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}, RegistryStatus::Ok, 0x12345678},
        {L"untyped dword", REG_NONE, {1, 0, 0, 0}, RegistryStatus::Ok, 1},
        {L"two bytes", REG_DWORD, {1, 2}, RegistryStatus::Failed, 7},
        {L"eight bytes", REG_DWORD, {1, 2, 3, 4, 5, 6, 7, 8}, RegistryStatus::Failed, 7},
        {L"a string", REG_SZ, {'1', 0, 0, 0}, RegistryStatus::TypeMismatch, 7},
        {L"a qword", REG_QWORD, {1, 0, 0, 0}, RegistryStatus::TypeMismatch, 7},
    };
    for (const auto& [why, type, data, status, expected] : rows) {
        putRaw(L"n", type, data);
        DWORD value = 7;
        const bool ok = registry_.getDword(path_, L"n", value, &status_);
        EXPECT_EQ(std::tie(ok, status_, value),
                  std::make_tuple(status == RegistryStatus::Ok, status, expected))
            << why;
    }
    DWORD dword = 7;
    EXPECT_EQ(failure(registry_.getDword(path_, L"missing", dword, &status_)), RegistryStatus::NotFound);
    EXPECT_EQ(failure(registry_.getDword(at(L"missing"), L"n", dword, &status_)), RegistryStatus::NotFound);
    ASSERT_TRUE(registry_.setDword(path_, L"d", 0xA1B2C3D4));
    EXPECT_EQ(getRaw(L"d"), RegValue(REG_DWORD, {0xD4, 0xC3, 0xB2, 0xA1}));
}

TEST_F(RegistryTest, MultiStringBlockLayoutAndReadingStopsAtTheEndOfWellFormedData) {
    const std::pair<std::vector<std::wstring>, std::wstring> written[] = {
        {{}, L"\0\0"s}, {{L"a"}, L"a\0\0"s}, {{L"one", L"two"}, L"one\0two\0\0"s}};
    for (const auto& [values, block] : written) {
        ASSERT_TRUE(registry_.setMultiString(path_, L"m", values));
        EXPECT_EQ(getRaw(L"m"), RegValue(REG_MULTI_SZ, bytesOf(block)));
    }
    // An empty element refuses the whole call: the stored value stays as it was.
    EXPECT_EQ(failure(registry_.setMultiString(path_, L"m", {L"x", L"", L"y"}, &status_)),
              RegistryStatus::InvalidArgument);
    EXPECT_EQ(getRaw(L"m"), RegValue(REG_MULTI_SZ, bytesOf(L"one\0two\0\0"s)));

    const std::pair<Bytes, std::vector<std::wstring>> read[] = {
        {bytesOf(L"a\0b\0\0"s), {L"a", L"b"}},             // well formed
        {bytesOf(L"a\0b\0"s), {L"a", L"b"}},               // no closing NUL
        {bytesOf(L"a\0bc"s), {L"a"}},                      // ends mid-string
        {bytesOf(L"a\0\0b\0\0"s), {L"a"}},                 // stops at the first empty element
        {{'a', 0, 0, 0, 'b', 0, 0, 0, 'c'}, {L"a", L"b"}}, // odd byte count
        {{}, {}},                                          // no data
    };
    for (const auto& [data, values] : read) {
        putRaw(L"m", REG_MULTI_SZ, data);
        std::vector<std::wstring> back = {L"stale"};
        EXPECT_TRUE(registry_.getMultiString(path_, L"m", back)) << data.size();
        EXPECT_EQ(back, values) << data.size();
    }
    putRaw(L"s", REG_SZ, bytesOf(L"a\0\0"s));
    std::vector<std::wstring> values = {L"stale"};
    EXPECT_EQ(failure(registry_.getMultiString(path_, L"s", values, &status_)), RegistryStatus::TypeMismatch);
    EXPECT_THAT(values, IsEmpty());
}

TEST_F(RegistryTest, KeysAreCreatedCheckedAndDeleted) {
    // A value needs its key: setString does not create it, createKeyPath does.
    EXPECT_EQ(failure(registry_.setString(at(L"a\\b"), L"v", L"x", &status_)), RegistryStatus::NotFound);
    EXPECT_TRUE(registry_.createKeyPath(at(L"a\\b")));
    EXPECT_TRUE(registry_.setString(at(L"a\\b"), L"v", L"x"));
    EXPECT_TRUE(registry_.subKeyExists(at(L"a"), L"b"));
    EXPECT_EQ(failure(registry_.subKeyExists(at(L"a"), L"c", &status_)), RegistryStatus::NotFound);

    // A key with sub-keys is not deleted; deleteTree takes everything.
    EXPECT_FALSE(registry_.deleteKey(path_, L"a"));
    EXPECT_TRUE(registry_.keyExists(at(L"a\\b")));
    EXPECT_TRUE(registry_.createKey(at(L"a"), L"c"));
    EXPECT_TRUE(registry_.deleteKey(at(L"a\\c")));
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

// Records the key creations of createKeyPath instead of making them.
class RecordingRegistry : public LightWin32Registry {
public:
    using LightWin32Registry::createKey;
    bool createKey(const std::wstring& parent, const std::wstring& sub, DWORD options,
                   RegistryStatus* status) override {
        calls.emplace_back(parent + L" + " + sub + L" / " + std::to_wstring(options));
        *status = parent == failAt ? RegistryStatus::AccessDenied : RegistryStatus::Ok;
        return parent != failAt;
    }
    std::vector<std::wstring> calls;
    std::wstring failAt;
};

TEST_F(RegistryTest, CreateKeyPathCreatesEveryLevelBelowTheTopTopDown) {
    RecordingRegistry recording;
    RegistryStatus status = RegistryStatus::Ok;
    EXPECT_TRUE(recording.createKeyPath(L"SOFTWARE\\A\\B\\C", &status));
    EXPECT_THAT(recording.calls,
                ElementsAre(L"SOFTWARE + A / 0", L"SOFTWARE\\A + B / 0", L"SOFTWARE\\A\\B + C / 0"));

    // A level that cannot be made ends the walk there.
    recording.calls.clear();
    recording.failAt = L"SOFTWARE\\A";
    EXPECT_FALSE(recording.createKeyPath(L"SOFTWARE\\A\\B\\C", &status));
    EXPECT_EQ(status, RegistryStatus::AccessDenied);
    EXPECT_THAT(recording.calls, ElementsAre(L"SOFTWARE + A / 0", L"SOFTWARE\\A + B / 0"));

    // A top-level key is taken to exist; a leading backslash is refused.
    recording.calls.clear();
    EXPECT_TRUE(recording.createKeyPath(L"KvNoSuchTopLevelKey", &status));
    EXPECT_EQ(status, RegistryStatus::Ok);
    EXPECT_FALSE(recording.createKeyPath(L"\\A\\B", &status));
    EXPECT_EQ(status, RegistryStatus::InvalidArgument);
    EXPECT_THAT(recording.calls, IsEmpty());
}

TEST_F(RegistryTest, EnumerationListsNamesAndFailsOnOverlongNames) {
    std::vector<std::wstring> names = {L"stale"};
    EXPECT_EQ(registry_.enumSubKeys(at(L"missing"), names, &status_), 0u);
    EXPECT_EQ(failure(false), RegistryStatus::NotFound);
    EXPECT_THAT(names, IsEmpty());
    EXPECT_EQ(registry_.enumSubKeys(path_, names, &status_), 0u);
    EXPECT_EQ(status_, RegistryStatus::Ok);

    const std::wstring longest(255, L'k');
    ASSERT_TRUE(registry_.createKey(path_, L"one"));
    ASSERT_TRUE(registry_.createKey(path_, longest));
    names = {L"stale"};
    EXPECT_EQ(registry_.enumSubKeys(path_, names), 2u);
    EXPECT_THAT(names, UnorderedElementsAre(L"one", longest));

    // Wine accepts a 256-character key name (Windows stops at 255), which no
    // enumeration buffer here holds.
    if (!registry_.createKey(path_, std::wstring(256, L'x'))) {
        GTEST_SKIP() << "the system refuses 256-character key names";
    }
    names = {L"stale"};
    EXPECT_EQ(registry_.enumSubKeys(path_, names, &status_), 0u);
    EXPECT_EQ(failure(false), RegistryStatus::Failed);
    EXPECT_THAT(names, IsEmpty());
}

// The narrow forms take and give UTF-8.
TEST_F(RegistryTest, NarrowFormsAddressTheSameKeysAndValues) {
    const std::string key = kv::str::wideToUtf8(path_) + "\\Schl\xc3\xbcssel";
    const std::string text = u8"Gr\u00fc\u00dfe \U0001D11E";
    const std::wstring wText = L"Gr\u00fc\u00dfe \U0001D11E";
    ASSERT_TRUE(registry_.createKeyPath(key));
    ASSERT_TRUE(registry_.setString(key, "n\xc3\xa4me", text));
    EXPECT_EQ(kv::test::readValue(HKEY_LOCAL_MACHINE, at(L"Schl\u00fcssel"), L"n\u00e4me"),
              RegValue(REG_SZ, bytesOf(wText + L'\0')));
    std::string back;
    EXPECT_TRUE(registry_.getString(key, "n\xc3\xa4me", back));
    EXPECT_EQ(back, text);
}

TEST_F(RegistryTest, TheViewChoosesTheKeys) {
    LightWin32Registry view32;
    view32.setSamFlags(KEY_WOW64_32KEY);
    ASSERT_TRUE(view32.createKeyPath(at(L"only32")));
    ASSERT_TRUE(view32.setDword(path_, L"view", 32));
    EXPECT_EQ(getRaw(L"view", KEY_WOW64_32KEY), RegValue(REG_DWORD, {32, 0, 0, 0}));
    EXPECT_EQ(getRaw(L"view"), std::nullopt);
    EXPECT_FALSE(registry_.keyExists(at(L"only32")));
    EXPECT_TRUE(view32.deleteKey(at(L"only32")));
}

TEST_F(RegistryTest, AccessDeniedIsReported) {
    ASSERT_TRUE(kv::test::writeValue(HKEY_LOCAL_MACHINE, at(L"locked"), L"v", REG_DWORD, {1, 0, 0, 0}));
    // An empty protected DACL: only the owner's implicit READ_CONTROL and WRITE_DAC remain.
    setKeyDacl(HKEY_LOCAL_MACHINE, at(L"locked"), KEY_WOW64_64KEY, L"D:P");
    DWORD value = 5;
    EXPECT_EQ(failure(registry_.getDword(at(L"locked"), L"v", value, &status_)),
              RegistryStatus::AccessDenied);
    EXPECT_EQ(value, 5u);
    EXPECT_EQ(failure(registry_.setString(at(L"locked"), L"v", L"x", &status_)),
              RegistryStatus::AccessDenied);
    std::vector<std::wstring> names = {L"stale"};
    EXPECT_EQ(registry_.enumValueNames(at(L"locked"), names, &status_), 0u);
    EXPECT_EQ(failure(false), RegistryStatus::AccessDenied);
    EXPECT_THAT(names, IsEmpty());
    EXPECT_TRUE(registry_.keyExists(at(L"locked")));
    setKeyDacl(HKEY_LOCAL_MACHINE, at(L"locked"), KEY_WOW64_64KEY, L"D:(A;;KA;;;WD)");
}

} // namespace
