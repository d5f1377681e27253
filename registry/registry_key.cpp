#include "registry/registry_key.h"

#include <cstring>
#include <utility>

#include "registry/latin1_text.h"

using platform::Api;

namespace Qx {
namespace {

const HKEY kNoKey = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);

HKEY RootKey(int root) {
    switch (root) {
    case ClassesRoot: return HKEY_CLASSES_ROOT;
    case CurrentUser: return HKEY_CURRENT_USER;
    case LocalMachine: return HKEY_LOCAL_MACHINE;
    case Users: return HKEY_USERS;
    default: return kNoKey;  // no root: the open fails
    }
}

std::wstring ChildPath(const std::wstring& parent, const std::wstring& name) {
    return parent + L"\\" + name;
}

// A 32-bit process on 64-bit Windows. Missing IsWow64Process (older systems)
// counts as no.
bool RunsUnderWow64() {
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    const HMODULE kernel = Api().GetModuleHandleW(L"kernel32");
    if (kernel == nullptr) return false;
    auto isWow64Process =
        reinterpret_cast<IsWow64ProcessFn>(
        reinterpret_cast<void*>(Api().GetProcAddress(kernel, "IsWow64Process")));
    BOOL isWow64 = FALSE;
    if (isWow64Process != nullptr) isWow64Process(Api().GetCurrentProcess(), &isWow64);
    return isWow64 != FALSE;
}

struct KeyInfo {
    DWORD subKeyCount = 0;
    DWORD maxSubKeyLength = 0;
    DWORD valueCount = 0;
    DWORD maxValueNameLength = 0;
};

// Counts and longest-name figures of an open key. The query's result is not
// tested: a class name too long for the class buffer makes it report an error
// after it has filled in the figures, which must still be used, or that key's
// contents would be silently skipped. A query that fails outright leaves the
// counts at zero, so it lists nothing.
KeyInfo QueryKeyInfo(HKEY key) {
    KeyInfo info;
    wchar_t className[260] = {};
    DWORD classLength = 260;
    DWORD maxClassLength = 0, maxValueDataLength = 0, securityDescriptorSize = 0;
    FILETIME lastWrite{};
    Api().RegQueryInfoKeyW(key, className, &classLength, nullptr, &info.subKeyCount,
                           &info.maxSubKeyLength, &maxClassLength, &info.valueCount,
                           &info.maxValueNameLength, &maxValueDataLength,
                           &securityDescriptorSize, &lastWrite);
    return info;
}

}  // namespace

RegistryKey::RegistryKey(std::wstring path, int root, int use64BitView)
    : root_(root), path_(std::move(path)), use64BitView_(use64BitView) {}

RegistryKey::~RegistryKey() { Close(); }

HKEY RegistryKey::Handle() const { return handle_ ? handle_.get() : kNoKey; }

REGSAM RegistryKey::Mask(REGSAM base) const {
    return use64BitView_ != 0 ? base | KEY_WOW64_64KEY : base;
}

HRESULT RegistryKey::Open(bool readOnly) {
    if (handle_) return S_FALSE;
    const HKEY parent = RootKey(root_);
    HKEY opened = nullptr;
    LSTATUS status;
    if (readOnly) {
        status = Api().RegOpenKeyExW(parent, path_.c_str(), 0, Mask(KEY_READ), &opened);
    } else {
        status = Api().RegCreateKeyExW(parent, path_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       Mask(KEY_ALL_ACCESS), nullptr, &opened, nullptr);
    }
    if (status != ERROR_SUCCESS || opened == nullptr) return E_FAIL;
    handle_.reset(opened);
    return S_OK;
}

void RegistryKey::Close() { handle_.reset(); }

bool RegistryKey::KeyExists(const std::wstring& path) {
    RegistryKey key(path, LocalMachine, 0);
    return key.Open(true) >= 0;
}

HRESULT RegistryKey::GetSubKeyNames(std::vector<std::wstring>& names) {
    names.clear();
    if (!handle_) return E_FAIL;
    const KeyInfo info = QueryKeyInfo(handle_.get());
    if (info.subKeyCount == 0) return S_OK;
    // Sized from the longest name plus its terminator, so a name of the
    // registry's maximum length (255) is listed too.
    std::vector<wchar_t> buffer(info.maxSubKeyLength + 1);
    for (DWORD index = 0; index < info.subKeyCount; ++index) {
        DWORD length = static_cast<DWORD>(buffer.size());
        FILETIME lastWrite{};
        if (Api().RegEnumKeyExW(handle_.get(), index, buffer.data(), &length, nullptr, nullptr,
                                nullptr, &lastWrite) != ERROR_SUCCESS) {
            return E_FAIL;
        }
        names.emplace_back(buffer.data(), length);
    }
    return S_OK;
}

HRESULT RegistryKey::GetValueNames(std::vector<std::wstring>& names) {
    if (!handle_) return E_FAIL;
    const KeyInfo info = QueryKeyInfo(handle_.get());
    names.resize(info.valueCount);
    if (info.valueCount == 0) return S_OK;
    // Value names may be up to 16,383 characters long.
    std::vector<wchar_t> buffer(info.maxValueNameLength + 1);
    for (DWORD index = 0; index < info.valueCount; ++index) {
        DWORD length = static_cast<DWORD>(buffer.size());
        if (Api().RegEnumValueW(handle_.get(), index, buffer.data(), &length, nullptr, nullptr,
                                nullptr, nullptr) != ERROR_SUCCESS) {
            return E_FAIL;
        }
        names[index].assign(buffer.data(), length);
    }
    return S_OK;
}

HRESULT RegistryKey::QueryRawValue(const std::wstring& name, DWORD& type,
                                   std::vector<BYTE>& data) const {
    data.clear();
    if (!handle_) return E_FAIL;
    DWORD size = 0;
    type = 0;
    if (Api().RegQueryValueExW(handle_.get(), name.c_str(), nullptr, &type, nullptr, &size) !=
        ERROR_SUCCESS) {
        return E_FAIL;
    }
    // A value that grows between the two queries is measured again, a few
    // times at most; one that shrinks is read at its new size. A value that
    // was empty is queried without a buffer, which succeeds with the new size
    // if it has grown meanwhile: that is growth too, not data.
    for (int attempt = 0; attempt < 4; ++attempt) {
        data.resize(size);
        DWORD read = size;
        const LSTATUS status = Api().RegQueryValueExW(handle_.get(), name.c_str(), nullptr, &type,
                                                      data.empty() ? nullptr : data.data(), &read);
        if (status == ERROR_SUCCESS && read <= size) {
            data.resize(read);
            return S_OK;
        }
        if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) break;
        size = read;
    }
    data.clear();
    return E_FAIL;
}

namespace {

// REG_SZ data as narrow text: up to its first NUL, or to the data's end when
// it has none (an odd last byte is ignored). False for a code unit above 0xFF.
bool NarrowRegistryText(const std::vector<BYTE>& data, std::string& text) {
    std::vector<wchar_t> units(data.size() / sizeof(wchar_t));
    if (!units.empty()) std::memcpy(units.data(), data.data(), units.size() * sizeof(wchar_t));
    return NarrowLatin1(units.data(), units.size(), text);
}

}  // namespace

HRESULT RegistryKey::ReadValue(const std::wstring& name, Variant& value) {
    value.Clear();
    DWORD type = 0;
    std::vector<BYTE> data;
    if (FAILED(QueryRawValue(name, type, data))) return E_FAIL;
    if (type == REG_SZ) {
        std::string text;
        if (!NarrowRegistryText(data, text)) return E_FAIL;
        value = text.c_str();
        return S_OK;
    }
    return DecodeVariantBlob(value, data.data(), static_cast<std::uint32_t>(data.size())) >= 0
               ? S_OK
               : E_FAIL;
}

HRESULT RegistryKey::WriteValue(const std::wstring& name, const Variant& value) {
    if (!handle_) return E_FAIL;
    if (value.Kind() == String) {
        const std::wstring text = WidenLatin1(value.GetString());
        const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
        const LSTATUS status =
            Api().RegSetValueExW(handle_.get(), name.c_str(), 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(text.c_str()), bytes);
        return status == ERROR_SUCCESS ? S_OK : E_FAIL;
    }
    std::uint32_t n = 0;
    value.GetData(n);
    std::vector<BYTE> blob(kVariantBlobHeaderSize + std::size_t{n});
    const Result length =
        EncodeVariantBlob(value, blob.data(), static_cast<std::uint32_t>(blob.size()));
    if (length < 0) return E_FAIL;
    const LSTATUS status = Api().RegSetValueExW(handle_.get(), name.c_str(), 0, REG_BINARY,
                                                blob.data(), static_cast<DWORD>(length));
    return status == ERROR_SUCCESS ? length : E_FAIL;
}

HRESULT RegistryKey::WriteRawValue(const std::wstring& name, DWORD type,
                                   const std::vector<BYTE>& data) {
    if (!handle_) return E_FAIL;
    const LSTATUS status =
        Api().RegSetValueExW(handle_.get(), name.c_str(), 0, type,
                             data.empty() ? nullptr : data.data(), static_cast<DWORD>(data.size()));
    return status == ERROR_SUCCESS ? S_OK : E_FAIL;
}

HRESULT RegistryKey::DeleteDirectSubKey(const std::wstring& name) {
    if (!RunsUnderWow64()) {
        return Api().RegDeleteKeyW(handle_.get(), name.c_str()) == ERROR_SUCCESS ? S_OK : E_FAIL;
    }
    // RegDeleteKeyExW (which can name the view) is absent before 64-bit
    // Windows XP, so it is looked up rather than imported.
    using RegDeleteKeyExFn = LSTATUS(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);
    platform::UniqueLibrary advapi(Api().LoadLibraryW(L"AdvAPI32.dll"));
    if (!advapi) return E_FAIL;
    auto regDeleteKeyEx =
        reinterpret_cast<RegDeleteKeyExFn>(
        reinterpret_cast<void*>(Api().GetProcAddress(advapi.get(), "RegDeleteKeyExW")));
    if (regDeleteKeyEx == nullptr) return E_FAIL;
    return regDeleteKeyEx(handle_.get(), name.c_str(), Mask(KEY_ALL_ACCESS), 0) == ERROR_SUCCESS
               ? S_OK
               : E_FAIL;
}

HRESULT RegistryKey::DeleteSubKeyTree(const std::wstring& name) {
    if (!handle_) return E_FAIL;
    bool failed = false;
    // The child stays open during its own delete (it closes when this
    // returns); the registry deletes a key that still has open handles. A
    // missing child is created here and so deleted again below.
    RegistryKey child(ChildPath(path_, name), root_, use64BitView_);
    if (child.Open(false) >= 0) {
        std::vector<std::wstring> grandchildren;
        child.GetSubKeyNames(grandchildren);  // whatever was listed is deleted
        for (const auto& grandchild : grandchildren) {
            if (child.DeleteSubKeyTree(grandchild) != S_OK) failed = true;
        }
    }
    if (failed) return E_FAIL;  // keep this key: something below it stays
    return DeleteDirectSubKey(name);
}

HRESULT RegistryKey::CopyTreeTo(const std::wstring& destinationPath) {
    RegistryKey destination(destinationPath, LocalMachine, 0);
    destination.Open(false);  // a destination that did not open fails CopyTree
    return CopyTree(*this, destination);
}

HRESULT RegistryKey::CopyValue(RegistryKey& destination, const std::wstring& name) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (FAILED(QueryRawValue(name, type, data))) return E_FAIL;
    // Text a Variant can carry, and blobs it can decode, are copied through a
    // Variant; that normalises them (text up to its first NUL, blobs cut at
    // their length, kinds 6 and 7 as Bytes, String blobs as REG_SZ).
    // Everything else is copied byte for byte with its own type, so no
    // setting is lost.
    if (type == REG_SZ) {
        std::string text;
        if (NarrowRegistryText(data, text)) {
            Variant value;
            value = text.c_str();
            return destination.WriteValue(name, value);
        }
    } else if (type == REG_BINARY) {
        Variant value;
        if (DecodeVariantBlob(value, data.data(), static_cast<std::uint32_t>(data.size())) >= 0)
            return destination.WriteValue(name, value);
    }
    return destination.WriteRawValue(name, type, data);
}

HRESULT RegistryKey::CopyTree(RegistryKey& source, RegistryKey& destination) {
    if (!source.handle_ || !destination.handle_) return E_FAIL;
    bool failed = false;

    std::vector<std::wstring> subKeys;
    if (source.GetSubKeyNames(subKeys) < 0) {
        failed = true;
    } else {
        for (const auto& name : subKeys) {
            RegistryKey sourceChild(ChildPath(source.path_, name), source.root_,
                                    source.use64BitView_);
            RegistryKey destinationChild(ChildPath(destination.path_, name), destination.root_,
                                         destination.use64BitView_);
            sourceChild.Open(false);
            destinationChild.Open(false);
            if (CopyTree(sourceChild, destinationChild) < 0) failed = true;
        }
    }

    std::vector<std::wstring> valueNames;
    if (source.GetValueNames(valueNames) < 0) {
        failed = true;
    } else {
        for (const auto& name : valueNames) {
            if (source.CopyValue(destination, name) < 0) failed = true;
        }
    }
    return failed ? E_FAIL : S_OK;
}

}  // namespace Qx
