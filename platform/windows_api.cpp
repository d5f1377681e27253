#include "platform/windows_api.h"

namespace platform {

WindowsApi& Api() {
    static WindowsApi table;
    return table;
}

}  // namespace platform
