// Decodes arbitrary bytes as a VariantBlob, runs every conversion, and checks
// that a decoded value encodes to a blob that decodes to the same value.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "registry/variant.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Copy into an exact-size heap buffer so AddressSanitizer sees any read
    // past the given length.
    std::vector<std::uint8_t> input(data, data + size);
    Qx::Variant value;
    if (Qx::DecodeVariantBlob(value, input.data(), static_cast<std::uint32_t>(input.size())) < 0)
        return 0;

    volatile bool b = value.ToBool();
    volatile std::int32_t i32 = value.ToInt32();
    volatile std::int64_t i64 = value.ToInt64();
    volatile float f = value.ToFloat();
    volatile double d = value.ToDouble();
    (void)b, (void)i32, (void)i64, (void)f, (void)d;
    std::uint32_t count = 0;
    value.GetElements(count);
    if (value.GetString() != nullptr && std::strlen(value.GetString()) + 1 != value.Size()) std::abort();

    std::uint32_t n = 0;
    const std::uint8_t* bytes = value.GetData(n);
    std::vector<std::uint8_t> blob(12 + std::size_t{n});
    if (Qx::EncodeVariantBlob(value, blob.data(), static_cast<std::uint32_t>(blob.size())) !=
        static_cast<Qx::Result>(12 + n))
        std::abort();
    // An empty Bytes value is the one encoding the decoder refuses.
    if (value.Kind() == Qx::Bytes && n == 0) return 0;
    Qx::Variant again;
    if (Qx::DecodeVariantBlob(again, blob.data(), static_cast<std::uint32_t>(blob.size())) != Qx::kOk)
        std::abort();
    std::uint32_t m = 0;
    const std::uint8_t* againBytes = again.GetData(m);
    if (again.Kind() != value.Kind() || m != n || (n != 0 && std::memcmp(bytes, againBytes, n) != 0))
        std::abort();
    return 0;
}
