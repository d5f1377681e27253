#include "platform/elevation.h"

#include <cstddef>

#include "platform/diagnostics.h"
#include "platform/handles.h"
#include "platform/run_log.h"
#include "platform/system_functions.h"
#include "platform/windows_api.h"

namespace platform {

namespace {

// A SID of two sub-authorities laid out in place: the system's SID, whose
// last member is an array of one, followed by the second.
struct TwoPartSid {
    SID sid;
    DWORD secondRid;
};
static_assert(offsetof(TwoPartSid, secondRid) == offsetof(SID, SubAuthority) + sizeof(DWORD));
static_assert(sizeof(TwoPartSid) == offsetof(SID, SubAuthority) + 2 * sizeof(DWORD));

}  // namespace

bool RunsElevated() {
    auto& api = Api();
    // Without ADVAPI32 (before LoadSystemLibraries) nothing can be asked.
    if (!api.OpenProcessToken || !api.GetTokenInformation || !api.CheckTokenMembership) return true;
    // The limited half of a split token runs without administrator rights,
    // whatever groups it names.
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    UniqueHandle token;
    DWORD length = 0;
    if (api.OpenProcessToken(api.GetCurrentProcess(), TOKEN_QUERY, token.put()) &&
        api.GetTokenInformation(token.get(), TokenElevationType, &type, sizeof(type), &length) &&
        type == TokenElevationTypeLimited) {
        return false;
    }
    // Administrators, S-1-5-32-544, in place.
    TwoPartSid administrators = {{SID_REVISION, 2, {SECURITY_NT_AUTHORITY}, {SECURITY_BUILTIN_DOMAIN_RID}},
                        DOMAIN_ALIAS_RID_ADMINS};
    BOOL member = FALSE;
    if (api.CheckTokenMembership(nullptr, &administrators.sid, &member) && !member) return false;
    return true;
}

namespace {

// A path that does not fit leaves no error code of its own: it gets one.
DWORD TooLong() {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
}

}  // namespace

void TurnOffVirtualization() {
    if (sizeof(void*) == 8) return;
    auto& api = Api();
    UniqueHandle token;
    DWORD enabled = 0;
    if (api.SetTokenInformation && api.OpenProcessToken &&
        api.OpenProcessToken(api.GetCurrentProcess(), TOKEN_ADJUST_DEFAULT, token.put()) &&
        api.SetTokenInformation(token.get(), TokenVirtualizationEnabled, &enabled, sizeof(enabled))) {
        return;
    }
    // Harmless elevated (never virtualized); unelevated, a write below
    // HKEY_LOCAL_MACHINE may now land in the user's virtual store.
    wchar_t number[16];
    LogLine(L"virtualization: not turned off (",
            DecimalText(static_cast<long>(ErrorOr(GetLastError(), ERROR_GEN_FAILURE)), number),
            L"), a write below HKEY_LOCAL_MACHINE may go to the user's virtual store");
}

void EnforceRedirectionTrust(bool wanted) {
    if (!wanted) {
        LogLine(L"redirection trust: off (built without it)");
        return;
    }
    if (!RunsElevated()) {
        LogLine(L"redirection trust: off (not elevated)");
        return;
    }
    auto& api = Api();
    const auto setPolicy = FindFunction<SetProcessMitigationPolicyFunction>(api.GetModuleHandleW(L"kernel32.dll"),
                                                                            "SetProcessMitigationPolicy");
    if (!setPolicy) {
        LogLine(L"redirection trust: not available (no SetProcessMitigationPolicy)");
        return;
    }
    PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY policy{};
    policy.EnforceRedirectionTrust = 1;
    if (!setPolicy(ProcessRedirectionTrustPolicy, &policy, sizeof(policy))) {
        wchar_t number[16];
        LogLine(L"redirection trust: not available (",
                DecimalText(static_cast<long>(ErrorOr(GetLastError(), ERROR_GEN_FAILURE)), number), L")");
        return;
    }
    LogLine(L"redirection trust: enforced");
}

DWORD WindowsSubfolder(const wchar_t* name, wchar_t* out, DWORD size) {
    // The Windows folder itself, as the system knows it: never taken from an
    // environment variable, which the user sets.
    const UINT length = Api().GetSystemWindowsDirectoryW(out, size);
    if (length == 0) return 0;
    if (length >= size) return TooLong();
    DWORD used = length;
    if (out[used - 1] != L'\\') out[used++] = L'\\';
    for (const wchar_t* p = name; *p != L'\0'; ++p) {
        if (used + 2 >= size) return TooLong();  // the name, a backslash and the NUL must fit
        out[used++] = *p;
    }
    if (used + 2 > size) return TooLong();
    out[used++] = L'\\';
    out[used] = L'\0';
    return used;
}

}  // namespace platform
