// Qx::RegistryKey against the real registry of a fresh Wine prefix. Each test
// works below its own scratch key; the 64-bit prefix shows the two registry
// views of a 32-bit process, the 32-bit prefix the plain RegDeleteKeyW path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/windows_api.h"
#include "registry/registry_key.h"
#include "seam.h"

namespace {

using platform::Api;
using platform::WindowsApi;
using Bytes = std::vector<BYTE>;

// Two registry views: a 64-bit process, or a 32-bit one on 64-bit Windows.
bool TwoViews() {
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    return sizeof(void*) == 8 || wow64 != FALSE;
}

// ---- Direct registry access for setting up and checking -------------------

struct Raw {
    DWORD type;
    Bytes data;
    bool operator==(const Raw& o) const { return type == o.type && data == o.data; }
};

bool RawKeyExists(HKEY root, const std::wstring& path, REGSAM view = 0) {
    HKEY key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

void RawCreateKey(HKEY root, const std::wstring& path, REGSAM view = 0) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

void RawSet(const std::wstring& path, const std::wstring& name, DWORD type, const Bytes& data) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, name.c_str(), 0, type, data.empty() ? nullptr : data.data(),
                             static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

std::optional<Raw> RawGet(const std::wstring& path, const std::wstring& name) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    DWORD type = 0, size = 0;
    std::optional<Raw> result;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        Bytes data(size);
        RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &size);
        data.resize(size);
        result = Raw{type, data};
    }
    RegCloseKey(key);
    return result;
}

Bytes Wide(const std::wstring& text, bool terminator = true) {
    const auto* p = reinterpret_cast<const BYTE*>(text.c_str());
    return Bytes(p, p + (text.size() + (terminator ? 1 : 0)) * sizeof(wchar_t));
}

Bytes Blob(std::uint32_t total, std::uint32_t kind, Bytes payload) {
    Bytes b;
    for (std::uint32_t v : {total, 0u, kind})
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<BYTE>(v >> (8 * i)));
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes DataOf(const Qx::Variant& v) {
    std::uint32_t n = 0;
    const std::uint8_t* p = v.GetData(n);
    return p ? Bytes(p, p + n) : Bytes{};
}

// The toolkit's name list as standard strings, and a list filled with names.
std::vector<std::wstring> Names(const Qx::NameList& list) {
    std::vector<std::wstring> names;
    for (std::size_t i = 0; i < list.Count(); ++i)
        names.emplace_back(list[i].Get(), list[i].Length());
    return names;
}

void Fill(Qx::NameList& list, const std::vector<std::wstring>& names) {
    list.Clear();
    for (const auto& name : names) list.Add(name.data(), name.size());
}

std::vector<std::wstring> Sorted(std::vector<std::wstring> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// Each test gets HKLM\Software\QxTest\<test name> (and its HKCU twin).
class RegistryKeyTest : public testing::Test {
protected:
    void SetUp() override {
        const auto* info = testing::UnitTest::GetInstance()->current_test_info();
        std::string name = info->name();
        base_ = L"Software\\QxTest\\" + std::wstring(name.begin(), name.end());
    }
    void TearDown() override {
        for (REGSAM view : {REGSAM{0}, REGSAM{KEY_WOW64_64KEY}}) {
            HKEY parent;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\QxTest", 0, KEY_ALL_ACCESS | view,
                              &parent) == ERROR_SUCCESS) {
                RegDeleteTreeW(parent, base_.substr(std::wcslen(L"Software\\QxTest\\")).c_str());
                RegCloseKey(parent);
            }
        }
    }
    std::wstring Path(const std::wstring& sub = L"") const {
        return sub.empty() ? base_ : base_ + L"\\" + sub;
    }
    std::wstring base_;
};

// ---- Open, Close, views -----------------------------------------------------

TEST_F(RegistryKeyTest, OpenStatesAndRoots) {
    Qx::RegistryKey key(Path(L"k").c_str());
    EXPECT_EQ(key.Handle(), reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
    EXPECT_EQ(key.Open(true), E_FAIL) << "read-only open of a missing key";
    EXPECT_FALSE(key.IsOpen());
    EXPECT_EQ(key.Open(false), S_OK) << "full open creates";
    const HKEY first = key.Handle();
    EXPECT_EQ(key.Open(true), S_FALSE);
    EXPECT_EQ(key.Handle(), first);
    key.Close();
    key.Close();  // closing a closed key does nothing
    EXPECT_EQ(key.Handle(), reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));

    // A key opened read-only stays read-only after a second Open(false).
    Qx::RegistryKey reader(Path(L"k").c_str());
    ASSERT_EQ(reader.Open(true), S_OK);
    EXPECT_EQ(reader.Open(false), S_FALSE);
    Qx::Variant v;
    v.SetString("x");
    EXPECT_EQ(reader.WriteValue(L"v", v), E_FAIL);

    for (int root : {7, -1, 4}) {
        Qx::RegistryKey noRoot(Path(L"k").c_str(), root);
        EXPECT_EQ(noRoot.Open(false), E_FAIL) << root;
        EXPECT_EQ(noRoot.Handle(), reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) << root;
    }

    Qx::RegistryKey user(Path(L"user").c_str(), Qx::CurrentUser);
    ASSERT_EQ(user.Open(false), S_OK);
    EXPECT_TRUE(RawKeyExists(HKEY_CURRENT_USER, Path(L"user")));
    EXPECT_FALSE(Qx::RegistryKey::KeyExists(Path(L"user").c_str())) << "KeyExists looks only in HKLM";
    EXPECT_TRUE(Qx::RegistryKey::KeyExists(Path(L"k").c_str()));
    RegDeleteTreeW(HKEY_CURRENT_USER, Path().c_str());
}

TEST_F(RegistryKeyTest, ClosedKeysRefuseEveryOperation) {
    Qx::RegistryKey closed(Path(L"c").c_str());
    Qx::NameList names;
    Fill(names, {L"stale"});
    EXPECT_EQ(closed.GetSubKeyNames(names), E_FAIL);
    EXPECT_TRUE(Names(names).empty());
    EXPECT_EQ(closed.GetValueNames(names), E_FAIL);
    Qx::Variant v;
    v.SetString("stale");
    EXPECT_EQ(closed.ReadValue(L"x", v), E_FAIL);
    EXPECT_EQ(v.Kind(), Qx::Empty);
    EXPECT_EQ(closed.WriteValue(L"x", v), E_FAIL);
    EXPECT_EQ(closed.DeleteSubKeyTree(L"x"), E_FAIL);
    Qx::RegistryKey open(Path(L"o").c_str());
    ASSERT_EQ(open.Open(false), S_OK);
    EXPECT_EQ(Qx::RegistryKey::CopyTree(closed, open), E_FAIL);
    EXPECT_EQ(Qx::RegistryKey::CopyTree(open, closed), E_FAIL);
    EXPECT_FALSE(RawKeyExists(HKEY_LOCAL_MACHINE, Path(L"c")));
}

TEST_F(RegistryKeyTest, ViewFlagSelectsTheRegistryView) {
    // Named views reach the same keys from a 32-bit and a 64-bit process.
    const bool twoViews = TwoViews();
    Qx::RegistryKey in64(Path(L"in64").c_str(), Qx::LocalMachine, Qx::View64);
    ASSERT_EQ(in64.Open(false), S_OK);
    Qx::RegistryKey in32(Path(L"in32").c_str(), Qx::LocalMachine, Qx::View32);
    ASSERT_EQ(in32.Open(false), S_OK);

    EXPECT_TRUE(RawKeyExists(HKEY_LOCAL_MACHINE, Path(L"in64"), KEY_WOW64_64KEY));
    EXPECT_TRUE(RawKeyExists(HKEY_LOCAL_MACHINE, Path(L"in32"), KEY_WOW64_32KEY));
    // On 64-bit Windows the views are apart; on 32-bit Windows there is one.
    EXPECT_EQ(RawKeyExists(HKEY_LOCAL_MACHINE, Path(L"in64"), KEY_WOW64_32KEY), !twoViews);
    EXPECT_EQ(RawKeyExists(HKEY_LOCAL_MACHINE, Path(L"in32"), KEY_WOW64_64KEY), !twoViews);
    EXPECT_EQ(Qx::RegistryKey::KeyExists(Path(L"in64").c_str(), Qx::View32), !twoViews);
    EXPECT_TRUE(Qx::RegistryKey::KeyExists(Path(L"in32").c_str(), Qx::View32));
    EXPECT_TRUE(Qx::RegistryKey::KeyExists(Path(L"in64").c_str(), Qx::View64));
    // The process's own view is the one of its bitness.
    EXPECT_TRUE(Qx::RegistryKey::KeyExists(Path(sizeof(void*) == 8 ? L"in64" : L"in32").c_str()));

    // Deleting through a 64-bit view key removes the 64-bit key.
    Qx::RegistryKey parent64(Path().c_str(), Qx::LocalMachine, Qx::View64);
    ASSERT_EQ(parent64.Open(false), S_OK);
    EXPECT_EQ(parent64.DeleteSubKeyTree(L"in64"), S_OK);
    EXPECT_FALSE(RawKeyExists(HKEY_LOCAL_MACHINE, Path(L"in64"), KEY_WOW64_64KEY));
    EXPECT_TRUE(RawKeyExists(HKEY_LOCAL_MACHINE, Path(L"in32"), KEY_WOW64_32KEY));
}

// Records the access masks passed to the registry.
struct MaskRecorder {
    static inline std::vector<std::pair<std::string, REGSAM>> seen;
    static inline WindowsApi real;
    static inline decltype(&::RegDeleteKeyExW) realDeleteEx = nullptr;

    static LSTATUS WINAPI DeleteEx(HKEY key, LPCWSTR name, REGSAM sam, DWORD reserved) {
        seen.emplace_back("RegDeleteKeyExW", sam);
        return realDeleteEx(key, name, sam, reserved);
    }
    static void Install() {
        seen.clear();
        real = Api();
        realDeleteEx = reinterpret_cast<decltype(&::RegDeleteKeyExW)>(reinterpret_cast<void*>(
            real.GetProcAddress(GetModuleHandleW(L"advapi32"), "RegDeleteKeyExW")));
        Api().RegOpenKeyExW = [](HKEY k, LPCWSTR p, DWORD o, REGSAM sam, PHKEY out) WINAPI -> LSTATUS {
            seen.emplace_back("RegOpenKeyExW", sam);
            return real.RegOpenKeyExW(k, p, o, sam, out);
        };
        Api().RegCreateKeyExW = [](HKEY k, LPCWSTR p, DWORD r, LPWSTR c, DWORD o, REGSAM sam,
                                   LPSECURITY_ATTRIBUTES sa, PHKEY out, LPDWORD d) WINAPI -> LSTATUS {
            seen.emplace_back("RegCreateKeyExW", sam);
            return real.RegCreateKeyExW(k, p, r, c, o, sam, sa, out, d);
        };
        Api().RegDeleteKeyW = [](HKEY k, LPCWSTR n) WINAPI -> LSTATUS {
            seen.emplace_back("RegDeleteKeyW", 0);
            return real.RegDeleteKeyW(k, n);
        };
        Api().GetProcAddress = [](HMODULE m, LPCSTR name) WINAPI -> FARPROC {
            if (std::strcmp(name, "RegDeleteKeyExW") == 0)
                return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&DeleteEx));
            return real.GetProcAddress(m, name);
        };
    }
};

TEST_F(RegistryKeyTest, AccessMasksFollowTheViewFlag) {
    const bool twoViews = TwoViews();
    const std::string deleteCall = twoViews ? "RegDeleteKeyExW" : "RegDeleteKeyW";
    using Seen = std::vector<std::pair<std::string, REGSAM>>;
    struct Case {
        int view;
        REGSAM flag;
        Seen openRead, openFull, deleteMissing;
    } cases[] = {
        {Qx::ProcessView, 0, {{"RegOpenKeyExW", 0x20019}}, {{"RegCreateKeyExW", 0xF003F}},
         {{"RegCreateKeyExW", 0xF003F}, {deleteCall, twoViews ? 0xF003F : 0}}},
        {Qx::View64, KEY_WOW64_64KEY, {{"RegOpenKeyExW", 0x20119}}, {{"RegCreateKeyExW", 0xF013F}},
         {{"RegCreateKeyExW", 0xF013F}, {deleteCall, twoViews ? 0xF013F : 0}}},
        {Qx::View32, KEY_WOW64_32KEY, {{"RegOpenKeyExW", 0x20219}}, {{"RegCreateKeyExW", 0xF023F}},
         {{"RegCreateKeyExW", 0xF023F}, {deleteCall, twoViews ? 0xF023F : 0}}},
    };
    for (const auto& c : cases) {
        RawCreateKey(HKEY_LOCAL_MACHINE, Path(L"m"), c.flag);
        seam::SeamScope scope;
        MaskRecorder::Install();
        {
            Qx::RegistryKey reader(Path(L"m").c_str(), Qx::LocalMachine, c.view);
            ASSERT_EQ(reader.Open(true), S_OK);
        }
        EXPECT_EQ(MaskRecorder::seen, c.openRead) << c.view;
        MaskRecorder::seen.clear();
        Qx::RegistryKey full(Path(L"m").c_str(), Qx::LocalMachine, c.view);
        ASSERT_EQ(full.Open(false), S_OK);
        EXPECT_EQ(MaskRecorder::seen, c.openFull) << c.view;
        MaskRecorder::seen.clear();
        EXPECT_EQ(full.DeleteSubKeyTree(L"missing"), S_OK);
        EXPECT_EQ(MaskRecorder::seen, c.deleteMissing) << c.view;
        // KeyExists takes its view as told; CopyTreeTo writes in the key's own.
        MaskRecorder::seen.clear();
        Qx::RegistryKey::KeyExists(Path(L"m").c_str());
        full.CopyTreeTo(Path(L"copy").c_str());
        EXPECT_EQ(MaskRecorder::seen,
                  (Seen{{"RegOpenKeyExW", 0x20019}, {"RegCreateKeyExW", 0xF003F | c.flag}}))
            << c.view;
    }
}

// ---- Listing ------------------------------------------------------------

TEST_F(RegistryKeyTest, ListsLongestNames) {
    const std::wstring longKey(255, L'k');
    const std::wstring longValue(16383, L'v');
    RawCreateKey(HKEY_LOCAL_MACHINE, Path(longKey));
    RawCreateKey(HKEY_LOCAL_MACHINE, Path(L"short"));
    RawSet(Path(), longValue, REG_SZ, Wide(L"x"));
    RawSet(Path(), L"", REG_SZ, Wide(L"default"));
    RawSet(Path(), L"a", REG_DWORD, {1, 0, 0, 0});

    Qx::RegistryKey key(Path().c_str());
    ASSERT_EQ(key.Open(true), S_OK);
    Qx::NameList names;
    Fill(names, {L"stale"});
    EXPECT_EQ(key.GetSubKeyNames(names), S_OK);
    EXPECT_EQ(Sorted(Names(names)), Sorted({longKey, L"short"}));
    Fill(names, {L"s1", L"s2", L"s3", L"s4", L"s5"});
    EXPECT_EQ(key.GetValueNames(names), S_OK);
    EXPECT_EQ(Sorted(Names(names)), Sorted({longValue, L"", L"a"}));

    Qx::RegistryKey empty(Path(L"short").c_str());
    ASSERT_EQ(empty.Open(true), S_OK);
    EXPECT_EQ(empty.GetSubKeyNames(names), S_OK);
    EXPECT_TRUE(Names(names).empty());
    EXPECT_EQ(empty.GetValueNames(names), S_OK);
    EXPECT_TRUE(Names(names).empty());
}

// A key's class name may be longer than the 260-character class buffer of the
// key query; the query then reports an error but still gives the counts, and
// the key's contents must be listed and copied all the same.
TEST_F(RegistryKeyTest, ListsAndCopiesAKeyWithALongClassName) {
    // Everything is made through the handle that set the class: Wine forgets
    // a class when the key is created again without one.
    std::wstring longClass(300, L'c');
    HKEY raw, child;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, Path(L"src").c_str(), 0, longClass.data(), 0,
                              KEY_ALL_ACCESS, nullptr, &raw, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyExW(raw, L"child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child,
                              nullptr),
              ERROR_SUCCESS);
    RegCloseKey(child);
    EXPECT_EQ(RegSetValueExW(raw, L"v", 0, REG_SZ, Wide(L"x").data(), 4), ERROR_SUCCESS);
    RegCloseKey(raw);

    Qx::RegistryKey source(Path(L"src").c_str());
    ASSERT_EQ(source.Open(true), S_OK);
    Qx::NameList names;
    EXPECT_EQ(source.GetSubKeyNames(names), S_OK);
    EXPECT_EQ(Names(names), std::vector<std::wstring>{L"child"});
    EXPECT_EQ(source.GetValueNames(names), S_OK);
    EXPECT_EQ(Names(names), std::vector<std::wstring>{L"v"});
    EXPECT_EQ(source.CopyTreeTo(Path(L"dst").c_str()), S_OK);
    EXPECT_TRUE(RawKeyExists(HKEY_LOCAL_MACHINE, Path(L"dst\\child")));
    EXPECT_EQ(RawGet(Path(L"dst"), L"v"), std::optional<Raw>({REG_SZ, Wide(L"x")}));
}

TEST_F(RegistryKeyTest, ListingStopsAtAFailingEnumeration) {
    for (const wchar_t* sub : {L"a", L"b", L"c"}) RawCreateKey(HKEY_LOCAL_MACHINE, Path(sub));
    Qx::RegistryKey key(Path().c_str());
    ASSERT_EQ(key.Open(true), S_OK);
    seam::SeamScope scope;
    seam::FailOnCall<&WindowsApi::RegEnumKeyExW>(2, LSTATUS{ERROR_ACCESS_DENIED}, 0);
    Qx::NameList names;
    EXPECT_EQ(key.GetSubKeyNames(names), E_FAIL);
    EXPECT_EQ(names.Count(), 1u) << "names listed before the failure stay";
}

// ---- Values ----------------------------------------------------------------

TEST_F(RegistryKeyTest, WriteAndReadEveryKind) {
    Qx::RegistryKey key(Path().c_str());
    ASSERT_EQ(key.Open(false), S_OK);
    struct Case {
        const wchar_t* name;
        std::int32_t kind;
        Bytes data;
        HRESULT written;
        Raw stored;
        std::int32_t readKind;  // what comes back
        Bytes readData;
    } cases[] = {
        {L"empty", Qx::Empty, {}, 12, {REG_BINARY, Blob(12, 0, {})}, Qx::Empty, {}},
        {L"bool", Qx::Bool, {1}, 13, {REG_BINARY, Blob(13, 1, {1})}, Qx::Bool, {1}},
        {L"int32", Qx::Int32, {1, 2, 3, 4}, 16, {REG_BINARY, Blob(16, 2, {1, 2, 3, 4})}, Qx::Int32, {1, 2, 3, 4}},
        {L"int64", Qx::Int64, {1, 2, 3, 4, 5, 6, 7, 8}, 20,
         {REG_BINARY, Blob(20, 3, {1, 2, 3, 4, 5, 6, 7, 8})}, Qx::Int64, {1, 2, 3, 4, 5, 6, 7, 8}},
        {L"float", Qx::Float, {0, 0, 0x80, 0x3F}, 16, {REG_BINARY, Blob(16, 4, {0, 0, 0x80, 0x3F})},
         Qx::Float, {0, 0, 0x80, 0x3F}},
        {L"double", Qx::Double, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}, 20,
         {REG_BINARY, Blob(20, 5, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F})}, Qx::Double, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}},
        {L"bytes", Qx::Bytes, {9, 8, 7}, 15, {REG_BINARY, Blob(15, 8, {9, 8, 7})}, Qx::Bytes, {9, 8, 7}},
        {L"opaque", Qx::Opaque, {5}, 13, {REG_BINARY, Blob(13, 10, {5})}, Qx::Opaque, {5}},
        {L"text", Qx::String, {'h', 0xFC, 0}, 0, {REG_SZ, Wide(L"h\u00FC")}, Qx::String, {'h', 0xFC, 0}},
        {L"empty text", Qx::String, {0}, 0, {REG_SZ, Wide(L"")}, Qx::String, {0}},
        // An empty Bytes value is stored, but its blob is one the decoder refuses.
        {L"empty bytes", Qx::Bytes, {}, 12, {REG_BINARY, Blob(12, 8, {})}, Qx::Empty, {}},
    };
    for (const auto& c : cases) {
        Qx::Variant in;
        in.SetValue(c.kind, c.data.data(), static_cast<std::uint32_t>(c.data.size()));
        EXPECT_EQ(key.WriteValue(c.name, in), c.written) << c.name;
        EXPECT_EQ(RawGet(Path(), c.name), std::optional<Raw>(c.stored)) << c.name;
        Qx::Variant out;
        out.SetString("stale");
        EXPECT_EQ(key.ReadValue(c.name, out), c.kind == Qx::Bytes && c.data.empty() ? E_FAIL : S_OK)
            << c.name;
        EXPECT_EQ(out.Kind(), c.readKind) << c.name;
        EXPECT_EQ(DataOf(out), c.readData) << c.name;
    }
}

TEST_F(RegistryKeyTest, ReadValueOfStoredData) {
    struct Case {
        const wchar_t* name;
        Raw stored;  // type REG_NONE with no data: the value is missing
        HRESULT result;
        std::int32_t kind;
        Bytes data;
    } cases[] = {
        {L"missing", {REG_NONE, {}}, E_FAIL, Qx::Empty, {}},
        {L"dword", {REG_DWORD, {1, 0, 0, 0}}, E_FAIL, Qx::Empty, {}},
        {L"euro", {REG_SZ, Wide(L"5\u20AC")}, E_FAIL, Qx::Empty, {}},
        {L"nul inside", {REG_SZ, Wide(std::wstring(L"ab\0cd", 5))}, S_OK, Qx::String, {'a', 'b', 0}},
        {L"no terminator", {REG_SZ, Wide(L"abc", false)}, S_OK, Qx::String, {'a', 'b', 'c', 0}},
        {L"zero bytes", {REG_SZ, {}}, S_OK, Qx::String, {0}},
        {L"empty header", {REG_BINARY, Blob(12, 0, {})}, S_OK, Qx::Empty, {}},
        {L"blob as REG_NONE", {REG_NONE, Blob(13, 1, {1})}, S_OK, Qx::Bool, {1}},
        {L"wrong width", {REG_BINARY, Blob(14, 2, {1, 2})}, S_OK, Qx::Empty, {}},
        {L"no blob", {REG_BINARY, {1, 2, 3}}, E_FAIL, Qx::Empty, {}},
    };
    for (const auto& c : cases) {
        if (std::wstring(c.name) != L"missing") RawSet(Path(), c.name, c.stored.type, c.stored.data);
    }
    Qx::RegistryKey key(Path().c_str());
    ASSERT_EQ(key.Open(false), S_OK);
    for (const auto& c : cases) {
        Qx::Variant v;
        v.SetString("stale");
        EXPECT_EQ(key.ReadValue(c.name, v), c.result) << c.name;
        EXPECT_EQ(v.Kind(), c.kind) << c.name;
        EXPECT_EQ(DataOf(v), c.data) << c.name;
    }
}

// The value was empty when it was measured and has grown before it is read:
// the read must take the new data, not as many zero bytes.
TEST_F(RegistryKeyTest, ReadValueOfAValueThatGrewFromEmpty) {
    static WindowsApi real;
    static int calls;
    const Bytes blob = Blob(16, 2, {7, 0, 0, 0});
    RawSet(Path(), L"grown", REG_BINARY, blob);
    Qx::RegistryKey key(Path().c_str());
    ASSERT_EQ(key.Open(true), S_OK);

    seam::SeamScope scope;
    real = Api();
    calls = 0;
    Api().RegQueryValueExW = [](HKEY k, LPCWSTR n, LPDWORD r, LPDWORD type, LPBYTE data,
                                LPDWORD size) WINAPI -> LSTATUS {
        if (calls++ == 0) {  // the first look sees an empty value
            *type = REG_BINARY;
            *size = 0;
            return ERROR_SUCCESS;
        }
        return real.RegQueryValueExW(k, n, r, type, data, size);
    };
    Qx::Variant v;
    EXPECT_EQ(key.ReadValue(L"grown", v), S_OK);
    EXPECT_EQ(v.Kind(), Qx::Int32);
    EXPECT_EQ(v.ToInt32(), 7);
}

// ---- CopyTree ----------------------------------------------------------------

TEST_F(RegistryKeyTest, CopyKeepsEveryValue) {
    const Bytes expandSz = Wide(L"%TEMP%\\x");
    const Bytes multiSz = Wide(std::wstring(L"a\0b\0", 4));
    struct Case {
        const wchar_t* name;
        Raw source;
        Raw copied;
    } cases[] = {
        {L"latin text", {REG_SZ, Wide(L"\u00FC\u00DF")}, {REG_SZ, Wide(L"\u00FC\u00DF")}},
        {L"euro text", {REG_SZ, Wide(L"5\u20AC")}, {REG_SZ, Wide(L"5\u20AC")}},
        {L"nul inside", {REG_SZ, Wide(std::wstring(L"ab\0cd", 5))}, {REG_SZ, Wide(L"ab")}},
        {L"no terminator", {REG_SZ, Wide(L"abc", false)}, {REG_SZ, Wide(L"abc")}},
        {L"int32 blob", {REG_BINARY, Blob(16, 2, {1, 0, 0, 0})}, {REG_BINARY, Blob(16, 2, {1, 0, 0, 0})}},
        {L"blob with tail", {REG_BINARY, Concat(Blob(13, 1, {1}), {7, 7})}, {REG_BINARY, Blob(13, 1, {1})}},
        {L"kind 7 blob", {REG_BINARY, Blob(15, 7, {1, 2, 3})}, {REG_BINARY, Blob(15, 8, {1, 2, 3})}},
        {L"text blob", {REG_BINARY, Blob(15, 9, {'h', 'i', 0})}, {REG_SZ, Wide(L"hi")}},
        {L"empty header", {REG_BINARY, Blob(12, 0, {})}, {REG_BINARY, Blob(12, 0, {})}},
        {L"wrong width", {REG_BINARY, Blob(14, 2, {1, 2})}, {REG_BINARY, Blob(12, 0, {})}},
        {L"empty opaque", {REG_BINARY, Blob(12, 10, {})}, {REG_BINARY, Blob(12, 10, {})}},
        {L"empty bytes blob", {REG_BINARY, Blob(12, 8, {})}, {REG_BINARY, Blob(12, 8, {})}},
        {L"no blob", {REG_BINARY, {1, 2, 3}}, {REG_BINARY, {1, 2, 3}}},
        {L"dword", {REG_DWORD, {1, 0, 0, 0}}, {REG_DWORD, {1, 0, 0, 0}}},
        {L"qword", {REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}}, {REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}}},
        {L"expand", {REG_EXPAND_SZ, expandSz}, {REG_EXPAND_SZ, expandSz}},
        {L"multi", {REG_MULTI_SZ, multiSz}, {REG_MULTI_SZ, multiSz}},
        {L"none", {REG_NONE, {}}, {REG_NONE, {}}},
        // ReadValue decodes these bytes as a Bool, but only REG_BINARY values
        // are copied as blobs: any other type keeps its type and bytes.
        {L"blob as REG_NONE", {REG_NONE, Blob(13, 1, {1})}, {REG_NONE, Blob(13, 1, {1})}},
        {L"", {REG_SZ, Wide(L"default")}, {REG_SZ, Wide(L"default")}},
    };
    for (const auto& c : cases) RawSet(Path(L"src\\child"), c.name, c.source.type, c.source.data);
    RawCreateKey(HKEY_LOCAL_MACHINE, Path(L"src\\" + std::wstring(255, L'n')));

    Qx::RegistryKey source(Path(L"src").c_str());
    ASSERT_EQ(source.Open(true), S_OK);
    EXPECT_EQ(source.CopyTreeTo(Path(L"dst").c_str()), S_OK);
    for (const auto& c : cases)
        EXPECT_EQ(RawGet(Path(L"dst\\child"), c.name), std::optional<Raw>(c.copied)) << c.name;
    EXPECT_TRUE(RawKeyExists(HKEY_LOCAL_MACHINE, Path(L"dst\\" + std::wstring(255, L'n'))));
}

TEST_F(RegistryKeyTest, CopyMergesIntoAnExistingDestination) {
    RawSet(Path(L"src"), L"shared", REG_SZ, Wide(L"new"));
    RawSet(Path(L"src\\a"), L"inner", REG_SZ, Wide(L"1"));
    RawSet(Path(L"dst"), L"shared", REG_SZ, Wide(L"old"));
    RawSet(Path(L"dst"), L"extra", REG_DWORD, {5, 0, 0, 0});
    RawSet(Path(L"dst\\a"), L"keep", REG_SZ, Wide(L"k"));
    RawCreateKey(HKEY_LOCAL_MACHINE, Path(L"dst\\only"));

    Qx::RegistryKey source(Path(L"src").c_str()), destination(Path(L"dst").c_str());
    ASSERT_EQ(source.Open(false), S_OK);
    ASSERT_EQ(destination.Open(false), S_OK);
    EXPECT_EQ(Qx::RegistryKey::CopyTree(source, destination), S_OK);
    EXPECT_EQ(RawGet(Path(L"dst"), L"shared"), std::optional<Raw>({REG_SZ, Wide(L"new")}));
    EXPECT_EQ(RawGet(Path(L"dst"), L"extra"), std::optional<Raw>({REG_DWORD, {5, 0, 0, 0}}));
    EXPECT_EQ(RawGet(Path(L"dst\\a"), L"inner"), std::optional<Raw>({REG_SZ, Wide(L"1")}));
    EXPECT_EQ(RawGet(Path(L"dst\\a"), L"keep"), std::optional<Raw>({REG_SZ, Wide(L"k")}));
    EXPECT_TRUE(RawKeyExists(HKEY_LOCAL_MACHINE, Path(L"dst\\only")));
}

TEST_F(RegistryKeyTest, CopyGoesOnAfterAFailedWriteAndReportsIt) {
    for (const wchar_t* name : {L"a", L"b", L"c"}) RawSet(Path(L"src"), name, REG_SZ, Wide(name));
    RawSet(Path(L"src\\sub"), L"d", REG_SZ, Wide(L"d"));
    Qx::RegistryKey source(Path(L"src").c_str());
    ASSERT_EQ(source.Open(false), S_OK);
    {
        seam::SeamScope scope;
        // The sub-key's value is written first, then a, b, c: fail the second.
        seam::FailOnCall<&WindowsApi::RegSetValueExW>(2, LSTATUS{ERROR_ACCESS_DENIED}, 0, true);
        EXPECT_EQ(source.CopyTreeTo(Path(L"dst").c_str()), E_FAIL);
    }
    int copied = 0;
    for (const wchar_t* name : {L"a", L"b", L"c"}) copied += RawGet(Path(L"dst"), name).has_value();
    EXPECT_EQ(copied, 2);
    EXPECT_TRUE(RawGet(Path(L"dst\\sub"), L"d").has_value());
}

// A value that grows after the copy has measured its key (in data or, through
// a rename, in name) is read again into larger buffers and copied whole; one
// that keeps growing is reported and not written, never cut short.
TEST_F(RegistryKeyTest, CopyRereadsAValueThatGrewAfterTheKeyQuery) {
    static WindowsApi real;
    static int calls, growingCalls;
    static std::wstring source;
    struct Case {
        const char* name;
        int growingCalls;  // enumeration calls that change the value first
        bool rename;       // the value is replaced by one with a long name
        HRESULT result;
    } cases[] = {
        {"data grows once", 1, false, S_OK},
        {"name grows once", 1, true, S_OK},
        {"keeps growing", 1000, false, E_FAIL},
    };
    for (const auto& c : cases) {
        source = Path(L"src_") + std::wstring(c.name, c.name + std::strlen(c.name));
        const std::wstring destination = source + L"_copy";
        RawSet(source, L"v", REG_SZ, Wide(L"x"));
        static bool rename;
        rename = c.rename;
        growingCalls = c.growingCalls;
        calls = 0;
        seam::SeamScope scope;
        real = Api();
        Api().RegEnumValueW = [](HKEY k, DWORD i, LPWSTR n, LPDWORD nl, LPDWORD r, LPDWORD t,
                                 LPBYTE d, LPDWORD ds) WINAPI -> LSTATUS {
            if (calls++ < growingCalls) {
                const std::wstring grown(100 * calls, L'g');
                if (rename) {
                    HKEY key;
                    RegOpenKeyExW(HKEY_LOCAL_MACHINE, source.c_str(), 0, KEY_ALL_ACCESS, &key);
                    RegDeleteValueW(key, L"v");
                    RegCloseKey(key);
                    RawSet(source, std::wstring(300, L'n'), REG_SZ, Wide(grown));
                } else {
                    RawSet(source, L"v", REG_SZ, Wide(grown));
                }
            }
            return real.RegEnumValueW(k, i, n, nl, r, t, d, ds);
        };
        Qx::RegistryKey key(source.c_str());
        ASSERT_EQ(key.Open(true), S_OK) << c.name;
        EXPECT_EQ(key.CopyTreeTo(destination.c_str()), c.result) << c.name;
        const std::wstring copiedName = c.rename ? std::wstring(300, L'n') : L"v";
        if (c.result == S_OK) {
            EXPECT_EQ(RawGet(destination, copiedName), RawGet(source, copiedName)) << c.name;
            EXPECT_EQ(RawGet(destination, copiedName),
                      std::optional<Raw>({REG_SZ, Wide(std::wstring(100, L'g'))}))
                << c.name;
        } else {
            EXPECT_EQ(RawGet(destination, copiedName), std::nullopt) << c.name;
        }
    }
}

// ---- DeleteSubKeyTree ----------------------------------------------------------

// Fails the delete of any key named "stuck", whichever delete call is used.
struct StuckDelete {
    static inline WindowsApi real;
    static inline decltype(&::RegDeleteKeyExW) realDeleteEx = nullptr;
    static LSTATUS WINAPI DeleteEx(HKEY key, LPCWSTR name, REGSAM sam, DWORD reserved) {
        if (std::wcscmp(name, L"stuck") == 0) return ERROR_ACCESS_DENIED;
        return realDeleteEx(key, name, sam, reserved);
    }
    static void Install() {
        real = Api();
        realDeleteEx = reinterpret_cast<decltype(&::RegDeleteKeyExW)>(reinterpret_cast<void*>(
            real.GetProcAddress(GetModuleHandleW(L"advapi32"), "RegDeleteKeyExW")));
        Api().RegDeleteKeyW = [](HKEY k, LPCWSTR n) WINAPI -> LSTATUS {
            if (std::wcscmp(n, L"stuck") == 0) return ERROR_ACCESS_DENIED;
            return real.RegDeleteKeyW(k, n);
        };
        Api().GetProcAddress = [](HMODULE m, LPCSTR name) WINAPI -> FARPROC {
            if (std::strcmp(name, "RegDeleteKeyExW") == 0)
                return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&DeleteEx));
            return real.GetProcAddress(m, name);
        };
    }
};

TEST_F(RegistryKeyTest, DeleteKeepsOnlyTheBranchThatCannotGo) {
    for (const wchar_t* sub : {L"top\\left\\stuck\\deep", L"top\\left\\gone", L"top\\right\\x"})
        RawCreateKey(HKEY_LOCAL_MACHINE, Path(sub));
    RawSet(Path(L"top\\right"), L"v", REG_SZ, Wide(L"v"));
    Qx::RegistryKey parent(Path().c_str());
    ASSERT_EQ(parent.Open(false), S_OK);
    {
        seam::SeamScope scope;
        StuckDelete::Install();
        EXPECT_EQ(parent.DeleteSubKeyTree(L"top"), E_FAIL);
    }
    EXPECT_TRUE(RawKeyExists(HKEY_LOCAL_MACHINE, Path(L"top\\left\\stuck")));
    EXPECT_FALSE(RawKeyExists(HKEY_LOCAL_MACHINE, Path(L"top\\left\\stuck\\deep")));
    EXPECT_FALSE(RawKeyExists(HKEY_LOCAL_MACHINE, Path(L"top\\left\\gone")));
    EXPECT_FALSE(RawKeyExists(HKEY_LOCAL_MACHINE, Path(L"top\\right")));

    // Without the fault the rest goes too.
    EXPECT_EQ(parent.DeleteSubKeyTree(L"top"), S_OK);
    EXPECT_FALSE(RawKeyExists(HKEY_LOCAL_MACHINE, Path(L"top")));
}

TEST_F(RegistryKeyTest, DeleteOfAMissingNameSucceedsAndLeavesNothing) {
    Qx::RegistryKey parent(Path().c_str());
    ASSERT_EQ(parent.Open(false), S_OK);
    EXPECT_EQ(parent.DeleteSubKeyTree(L"never"), S_OK);
    EXPECT_FALSE(RawKeyExists(HKEY_LOCAL_MACHINE, Path(L"never")));
}

}  // namespace
