// Choices of the install steps that depend only on their inputs.
#pragma once

#include "platform/cstring.h"

namespace payload {

struct RuntimeParameters {
    CString x86;
    CString x64;
};

// True when `msiArguments` asks msiexec for a quiet installation: it holds
// "/quiet" anywhere (case-sensitive, also as the start of a longer word).
bool IsQuietMode(const CString& msiArguments);

// Parameters of the two runtime installers: the legacy self-extractor strings
// when `useLegacyRuntimeArguments` is set, else quiet or passive ones after
// IsQuietMode.
RuntimeParameters ChooseRuntimeParameters(const CString& msiArguments, bool useLegacyRuntimeArguments);

// True when the running executable carries the resource `name` of `type`.
bool ResourceCarried(const wchar_t* name, const wchar_t* type);

// True when the running executable carries the "EXE" resource `name`.
bool ExecutableResourceCarried(const wchar_t* name);

// Name of the "MSI" resource holding the driver package for the platform.
// ARM64 Windows has one package, for Windows 10 and later.
const wchar_t* DriverPackageResource(bool isWow64, bool isWin10, bool isArm64 = false);

}  // namespace payload
