#include "platform/string_resource.h"

#include "platform/windows_api.h"

bool LoadStringResource(UINT id, CString& text) {
    text.Empty();
    // With a buffer size of 0, LoadStringW hands back a read-only pointer to
    // the string inside the resource (not NUL-terminated) and its length, so
    // no length limit applies.
    const wchar_t* resource = nullptr;
    const int length = platform::Api().LoadStringW(platform::Api().GetModuleHandleW(nullptr), id,
                                                   reinterpret_cast<LPWSTR>(&resource), 0);
    if (length <= 0 || !resource) return false;
    text = CString(resource, length);
    return true;
}
