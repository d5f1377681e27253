// Qx::RegistryKey: one registry key named by a root and a path.
//
// The key is closed until Open; Open(true) opens it for reading, Open(false)
// opens it with full access and creates it (and missing parents) when it is
// missing. Values are read and written as Qx::Variant: text as REG_SZ, every
// other kind as a REG_BINARY VariantBlob. Results are S_OK, S_FALSE or E_FAIL
// (WriteValue returns the blob length for non-text kinds); callers test only
// for a negative result.
//
// Roots: 0 HKEY_CLASSES_ROOT, 1 HKEY_CURRENT_USER, 2 HKEY_LOCAL_MACHINE,
// 3 HKEY_USERS; any other number names no root and Open fails.
//
// Views: a key is reached in the registry view it names, whatever the
// process's own bitness, so that the 32-bit and the 64-bit build reach the
// same keys: View64 adds KEY_WOW64_64KEY to every access mask the key passes
// (open, create, delete), View32 adds KEY_WOW64_32KEY (both flags are ignored
// on 32-bit Windows, which has one view), ProcessView adds nothing. Any other
// non-zero number counts as View64, as a true "use the 64-bit view" flag does.
//
// Paths and names are NUL-terminated UTF-16 text, without a leading or
// trailing backslash; the key keeps its own copy of its path.
#pragma once

#include <windows.h>

#include "platform/handles.h"
#include "registry/byte_buffer.h"
#include "registry/variant.h"
#include "registry/wide_text.h"

namespace Qx {

enum RegistryRoot : int {
    ClassesRoot = 0,
    CurrentUser = 1,
    LocalMachine = 2,
    Users = 3,
};

enum RegistryView : int {
    ProcessView = 0,  // the process's own view: differs between the two builds
    View64 = 1,
    View32 = 2,
};

class RegistryKey {
public:
    explicit RegistryKey(const wchar_t* path, int root = LocalMachine, int view = ProcessView);
    ~RegistryKey();
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // S_OK; S_FALSE when already open (handle and mode unchanged); E_FAIL.
    HRESULT Open(bool readOnly);
    // Closes the key if open; does nothing otherwise.
    void Close();

    // The open key, or INVALID_HANDLE_VALUE cast to HKEY (all bits set) while
    // closed.
    HKEY Handle() const;
    bool IsOpen() const { return static_cast<bool>(handle_); }

    // Whether `path` opens for reading under HKEY_LOCAL_MACHINE in `view`.
    static bool KeyExists(const wchar_t* path, int view = ProcessView);

    // Fills `names` with the direct sub-key names (emptied first).
    HRESULT GetSubKeyNames(NameList& names);
    // Fills `names` with the value names; the default value is "". The list
    // is resized to the value count, not emptied: after a failed listing the
    // entries from the failing one on keep what they held.
    HRESULT GetValueNames(NameList& names);

    // Reads a REG_SZ as String, any other type as a VariantBlob. The target is
    // Empty on every failure.
    HRESULT ReadValue(const wchar_t* name, Variant& value);
    // Writes String as REG_SZ (returns 0), any other kind as a REG_BINARY
    // VariantBlob (returns its length).
    HRESULT WriteValue(const wchar_t* name, const Variant& value);

    // Deletes the direct sub-key `name` and everything below it, depth first.
    // A key that cannot be deleted stays with all its ancestors up to `name`;
    // everything else is deleted, and the result is E_FAIL.
    HRESULT DeleteSubKeyTree(const wchar_t* name);

    // Copies this key's tree into `destinationPath` under HKEY_LOCAL_MACHINE
    // in this key's view, created when missing.
    HRESULT CopyTreeTo(const wchar_t* destinationPath);
    // Copies the tree of `source` into `destination` (both open): sub-keys
    // first, then values; adds and overwrites, never removes. Goes on after
    // every failed sub-key or value (an enumeration error ends the copy of
    // that key's values) and reports E_FAIL once at the end.
    static HRESULT CopyTree(RegistryKey& source, RegistryKey& destination);

private:
    // The closed key `name` below `parent`: the parent's root and view, the
    // path "<parent path>\<name>".
    RegistryKey(const RegistryKey& parent, const wchar_t* name);

    // Figures of the open key from one RegQueryInfoKeyW call.
    struct KeyInfo {
        DWORD subKeyCount = 0;
        DWORD maxSubKeyLength = 0;
        DWORD valueCount = 0;
        DWORD maxValueNameLength = 0;
        DWORD maxValueDataLength = 0;
    };
    KeyInfo QueryInfo() const;
    // Appends the names of the `info.subKeyCount` sub-keys.
    HRESULT ListSubKeys(const KeyInfo& info, NameList& names) const;

    REGSAM Mask(REGSAM base) const;
    HRESULT QueryRawValue(const wchar_t* name, DWORD& type, ByteBuffer& data) const;
    HRESULT WriteRawValue(const wchar_t* name, DWORD type, const std::uint8_t* data, DWORD size);
    // Copies every value of this key into `destination`, going on after a
    // value that fails; stops at an enumeration error.
    HRESULT CopyValues(const KeyInfo& info, RegistryKey& destination);
    HRESULT CopyValue(RegistryKey& destination, const wchar_t* name, DWORD type,
                      const std::uint8_t* data, DWORD size);
    HRESULT DeleteDirectSubKey(const wchar_t* name);

    platform::UniqueHkey handle_;
    int root_;
    WideText path_;
    int view_;
};

}  // namespace Qx
