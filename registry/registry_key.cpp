#include "registry/registry_key.h"

#include <cstring>
#include <cwchar>

#include "platform/system_functions.h"
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

// A buffer's bytes as UTF-16 code units (new[] memory is aligned for them).
wchar_t* Units(ByteBuffer& buffer) { return reinterpret_cast<wchar_t*>(buffer.Data()); }

// Whether the registry has two views here: always for a 64-bit process, and
// for a 32-bit process on 64-bit Windows. Missing IsWow64Process (older
// systems) counts as one view.
bool RegistryHasViews() {
    if (sizeof(void*) == 8) return true;
    const HMODULE kernel = Api().GetModuleHandleW(L"kernel32");
    if (kernel == nullptr) return false;
    const auto isWow64Process = platform::FindFunction<platform::IsWow64ProcessFunction>(kernel, "IsWow64Process");
    BOOL isWow64 = FALSE;
    if (isWow64Process != nullptr) isWow64Process(Api().GetCurrentProcess(), &isWow64);
    return isWow64 != FALSE;
}

}  // namespace

// Counts and longest-name figures of an open key. The query's result is not
// tested: a class name too long for the class buffer makes it report an error
// after it has filled in the figures, which must still be used, or that key's
// contents would be silently skipped. A query that fails outright leaves the
// counts at zero, so it lists nothing.
RegistryKey::KeyInfo RegistryKey::QueryInfo() const {
    KeyInfo info;
    wchar_t className[260] = {};
    DWORD classLength = 260;
    DWORD maxClassLength = 0, securityDescriptorSize = 0;
    FILETIME lastWrite{};
    Api().RegQueryInfoKeyW(handle_.get(), className, &classLength, nullptr, &info.subKeyCount,
                           &info.maxSubKeyLength, &maxClassLength, &info.valueCount,
                           &info.maxValueNameLength, &info.maxValueDataLength,
                           &securityDescriptorSize, &lastWrite);
    return info;
}

RegistryKey::RegistryKey(const wchar_t* path, int root, int view)
    : root_(root), path_(path), view_(view) {}

RegistryKey::RegistryKey(const RegistryKey& parent, const wchar_t* name)
    : root_(parent.root_), path_(parent.path_.Get(), parent.path_.Length()),
      view_(parent.view_) {
    path_.Append(L"\\", 1);
    path_.Append(name, std::wcslen(name));
}

RegistryKey::~RegistryKey() { Close(); }

HKEY RegistryKey::Handle() const { return handle_ ? handle_.get() : kNoKey; }

REGSAM RegistryKey::Mask(REGSAM base) const {
    if (view_ == View32) return base | KEY_WOW64_32KEY;
    return view_ != ProcessView ? base | KEY_WOW64_64KEY : base;
}

HRESULT RegistryKey::Open(bool readOnly) {
    if (handle_) return S_FALSE;
    const HKEY parent = RootKey(root_);
    HKEY opened = nullptr;
    LSTATUS status;
    if (readOnly) {
        status = Api().RegOpenKeyExW(parent, path_.Get(), 0, Mask(KEY_READ), &opened);
    } else {
        status = Api().RegCreateKeyExW(parent, path_.Get(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       Mask(KEY_ALL_ACCESS), nullptr, &opened, nullptr);
    }
    if (status != ERROR_SUCCESS || opened == nullptr) return E_FAIL;
    handle_.reset(opened);
    return S_OK;
}

void RegistryKey::Close() { handle_.reset(); }

bool RegistryKey::KeyExists(const wchar_t* path, int view) {
    RegistryKey key(path, LocalMachine, view);
    return key.Open(true) >= 0;
}

HRESULT RegistryKey::GetSubKeyNames(NameList& names) {
    names.Clear();
    if (!handle_) return E_FAIL;
    return ListSubKeys(QueryInfo(), names);
}

HRESULT RegistryKey::ListSubKeys(const KeyInfo& info, NameList& names) const {
    if (info.subKeyCount == 0) return S_OK;
    // Sized from the longest name plus its terminator, so a name of the
    // registry's maximum length (255) is listed too.
    const DWORD capacity = info.maxSubKeyLength + 1;
    ByteBuffer name(capacity * sizeof(wchar_t));
    for (DWORD index = 0; index < info.subKeyCount; ++index) {
        DWORD length = capacity;
        FILETIME lastWrite{};
        if (Api().RegEnumKeyExW(handle_.get(), index, Units(name), &length, nullptr, nullptr,
                                nullptr, &lastWrite) != ERROR_SUCCESS) {
            return E_FAIL;
        }
        names.Add(Units(name), length);
    }
    return S_OK;
}

HRESULT RegistryKey::GetValueNames(NameList& names) {
    if (!handle_) return E_FAIL;
    const KeyInfo info = QueryInfo();
    names.Resize(info.valueCount);
    if (info.valueCount == 0) return S_OK;
    // Value names may be up to 16,383 characters long.
    const DWORD capacity = info.maxValueNameLength + 1;
    ByteBuffer name(capacity * sizeof(wchar_t));
    for (DWORD index = 0; index < info.valueCount; ++index) {
        DWORD length = capacity;
        if (Api().RegEnumValueW(handle_.get(), index, Units(name), &length, nullptr, nullptr,
                                nullptr, nullptr) != ERROR_SUCCESS) {
            return E_FAIL;
        }
        names.Set(index, Units(name), length);
    }
    return S_OK;
}

HRESULT RegistryKey::QueryRawValue(const wchar_t* name, DWORD& type, ByteBuffer& data) const {
    data.Reset(0);
    if (!handle_) return E_FAIL;
    DWORD size = 0;
    type = 0;
    if (Api().RegQueryValueExW(handle_.get(), name, nullptr, &type, nullptr, &size) !=
        ERROR_SUCCESS) {
        return E_FAIL;
    }
    // A value that grows between the two queries is measured again, a few
    // times at most; one that shrinks is read at its new size. A value that
    // was empty is queried without a buffer, which succeeds with the new size
    // if it has grown meanwhile: that is growth too, not data.
    for (int attempt = 0; attempt < 4; ++attempt) {
        data.Reset(size);
        DWORD read = size;
        const LSTATUS status =
            Api().RegQueryValueExW(handle_.get(), name, nullptr, &type, data.Data(), &read);
        if (status == ERROR_SUCCESS && read <= size) {
            data.Truncate(read);
            return S_OK;
        }
        if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) break;
        size = read;
    }
    data.Reset(0);
    return E_FAIL;
}

namespace {

// REG_SZ data of `size` bytes as narrow text, stored in `value`: up to its
// first NUL, or to the data's end when it has none (an odd last byte is
// ignored). False for a code unit above 0xFF; `value` is then left as it was.
bool NarrowRegistryText(const std::uint8_t* data, DWORD size, Variant& value) {
    const DWORD units = size / sizeof(wchar_t);
    ByteBuffer narrow(units + 1);
    auto* text = reinterpret_cast<char*>(narrow.Data());
    if (!NarrowLatin1(reinterpret_cast<const wchar_t*>(data), units, text)) return false;
    value = text;
    return true;
}

}  // namespace

HRESULT RegistryKey::ReadValue(const wchar_t* name, Variant& value) {
    value.Clear();
    DWORD type = 0;
    ByteBuffer data;
    if (FAILED(QueryRawValue(name, type, data))) return E_FAIL;
    if (type == REG_SZ) return NarrowRegistryText(data.Data(), data.Size(), value) ? S_OK : E_FAIL;
    return DecodeVariantBlob(value, data.Data(), data.Size()) >= 0 ? S_OK : E_FAIL;
}

HRESULT RegistryKey::WriteValue(const wchar_t* name, const Variant& value) {
    if (!handle_) return E_FAIL;
    if (value.Kind() == String) {
        const char* text = value.GetString();
        ByteBuffer wide((static_cast<std::uint32_t>(std::strlen(text)) + 1) * sizeof(wchar_t));
        const std::size_t length = WidenLatin1(text, Units(wide));
        const DWORD bytes = static_cast<DWORD>((length + 1) * sizeof(wchar_t));
        const LSTATUS status =
            Api().RegSetValueExW(handle_.get(), name, 0, REG_SZ, wide.Data(), bytes);
        return status == ERROR_SUCCESS ? S_OK : E_FAIL;
    }
    std::uint32_t n = 0;
    value.GetData(n);
    ByteBuffer blob(kVariantBlobHeaderSize + n);
    const Result length = EncodeVariantBlob(value, blob.Data(), blob.Size());
    if (length < 0) return E_FAIL;
    const LSTATUS status = Api().RegSetValueExW(handle_.get(), name, 0, REG_BINARY, blob.Data(),
                                                static_cast<DWORD>(length));
    return status == ERROR_SUCCESS ? length : E_FAIL;
}

HRESULT RegistryKey::WriteRawValue(const wchar_t* name, DWORD type, const std::uint8_t* data,
                                   DWORD size) {
    if (!handle_) return E_FAIL;
    const LSTATUS status = Api().RegSetValueExW(handle_.get(), name, 0, type, data, size);
    return status == ERROR_SUCCESS ? S_OK : E_FAIL;
}

HRESULT RegistryKey::DeleteDirectSubKey(const wchar_t* name) {
    if (!RegistryHasViews()) {
        return Api().RegDeleteKeyW(handle_.get(), name) == ERROR_SUCCESS ? S_OK : E_FAIL;
    }
    // RegDeleteKeyExW (which can name the view) is absent before 64-bit
    // Windows XP, so it is looked up rather than imported.
    platform::UniqueLibrary advapi(Api().LoadLibraryW(L"AdvAPI32.dll"));
    if (!advapi) return E_FAIL;
    const auto regDeleteKeyEx =
        platform::FindFunction<platform::RegDeleteKeyExWFunction>(advapi.get(), "RegDeleteKeyExW");
    if (regDeleteKeyEx == nullptr) return E_FAIL;
    return regDeleteKeyEx(handle_.get(), name, Mask(KEY_ALL_ACCESS), 0) == ERROR_SUCCESS
               ? S_OK
               : E_FAIL;
}

HRESULT RegistryKey::DeleteSubKeyTree(const wchar_t* name) {
    if (!handle_) return E_FAIL;
    bool failed = false;
    // The child stays open during its own delete (it closes when this
    // returns); the registry deletes a key that still has open handles. A
    // missing child is created here and so deleted again below.
    RegistryKey child(*this, name);
    if (child.Open(false) >= 0) {
        NameList grandchildren;
        child.GetSubKeyNames(grandchildren);  // whatever was listed is deleted
        for (std::size_t i = 0; i < grandchildren.Count(); ++i) {
            if (child.DeleteSubKeyTree(grandchildren[i].Get()) != S_OK) failed = true;
        }
    }
    if (failed) return E_FAIL;  // keep this key: something below it stays
    return DeleteDirectSubKey(name);
}

HRESULT RegistryKey::CopyTreeTo(const wchar_t* destinationPath) {
    RegistryKey destination(destinationPath, LocalMachine, view_);
    destination.Open(false);  // a destination that did not open fails CopyTree
    return CopyTree(*this, destination);
}

HRESULT RegistryKey::CopyValue(RegistryKey& destination, const wchar_t* name, DWORD type,
                               const std::uint8_t* data, DWORD size) {
    // Text a Variant can carry, and blobs it can decode, are copied through a
    // Variant; that normalises them (text up to its first NUL, blobs cut at
    // their length, kinds 6 and 7 as Bytes, String blobs as REG_SZ).
    // Everything else is copied byte for byte with its own type, so no
    // setting is lost.
    Variant value;
    if (type == REG_SZ) {
        if (NarrowRegistryText(data, size, value)) return destination.WriteValue(name, value);
    } else if (type == REG_BINARY) {
        if (DecodeVariantBlob(value, data, size) >= 0) return destination.WriteValue(name, value);
    }
    return destination.WriteRawValue(name, type, data, size);
}

HRESULT RegistryKey::CopyValues(const KeyInfo& info, RegistryKey& destination) {
    if (info.valueCount == 0) return S_OK;
    // One enumeration call per value reads its name, type and data together,
    // into buffers sized once from the key query. The data buffer has at
    // least one byte: with no buffer at all, a value that grew since the
    // query would report its new size as a success, without its data.
    ByteBuffer name((info.maxValueNameLength + 1) * sizeof(wchar_t));
    ByteBuffer data(info.maxValueDataLength != 0 ? info.maxValueDataLength : 1);
    bool failed = false;
    for (DWORD index = 0; index < info.valueCount; ++index) {
        DWORD nameLength = 0, type = 0, size = 0;
        LSTATUS status = ERROR_MORE_DATA;
        // A value whose name or data grew after the query does not fit:
        // measure the key again and read the value anew into larger buffers,
        // a few times at most. Nothing is ever cut short.
        for (int attempt = 0; attempt < 4 && status == ERROR_MORE_DATA; ++attempt) {
            if (attempt != 0) {
                const KeyInfo now = QueryInfo();
                const DWORD nameCapacity = name.Size() / sizeof(wchar_t);
                if (now.maxValueNameLength + 1 > nameCapacity)
                    name.Reset((now.maxValueNameLength + 1) * sizeof(wchar_t));
                DWORD dataCapacity = size > now.maxValueDataLength ? size : now.maxValueDataLength;
                if (dataCapacity > data.Size()) data.Reset(dataCapacity);
            }
            nameLength = name.Size() / sizeof(wchar_t);
            size = data.Size();
            status = Api().RegEnumValueW(handle_.get(), index, Units(name), &nameLength, nullptr,
                                         &type, data.Data(), &size);
            if (status == ERROR_SUCCESS && size > data.Size()) status = ERROR_MORE_DATA;
        }
        if (status == ERROR_MORE_DATA) {
            failed = true;  // kept growing: this value is not copied
            continue;
        }
        // Any other error leaves the remaining indexes without meaning (a
        // value was deleted meanwhile, or the key is gone): stop listing.
        if (status != ERROR_SUCCESS) return E_FAIL;
        if (CopyValue(destination, Units(name), type, data.Data(), size) < 0) failed = true;
    }
    return failed ? E_FAIL : S_OK;
}

HRESULT RegistryKey::CopyTree(RegistryKey& source, RegistryKey& destination) {
    if (!source.handle_ || !destination.handle_) return E_FAIL;
    bool failed = false;
    // One query of the source serves both its sub-keys and its values.
    const KeyInfo info = source.QueryInfo();

    NameList subKeys;
    if (source.ListSubKeys(info, subKeys) < 0) {
        failed = true;
    } else {
        for (std::size_t i = 0; i < subKeys.Count(); ++i) {
            RegistryKey sourceChild(source, subKeys[i].Get());
            RegistryKey destinationChild(destination, subKeys[i].Get());
            sourceChild.Open(false);
            destinationChild.Open(false);
            if (CopyTree(sourceChild, destinationChild) < 0) failed = true;
        }
    }

    if (source.CopyValues(info, destination) < 0) failed = true;
    return failed ? E_FAIL : S_OK;
}

}  // namespace Qx
