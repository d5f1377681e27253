// The unit tests' entry: the seam's system DLLs are loaded first, as the
// launcher's own entry does, then GoogleTest runs.
#include <gmock/gmock.h>

#include "platform/windows_api.h"

int main(int argc, char** argv) {
    if (platform::LoadSystemLibraries() != 0) return 1;
    testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
