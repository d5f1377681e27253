// String resources of the running executable, by number.
#pragma once

#include <windows.h>

#include "platform/cstring.h"

// Loads string `id` from the executable's string table into `text`. Returns
// true only when the string exists and is not empty; otherwise `text` is
// emptied.
bool LoadStringResource(UINT id, CString& text);
