// Decodes arbitrary bytes as a VariantBlob, runs every conversion, and checks
// that a decoded value encodes to a blob that decodes to the same value, that
// a refused blob leaves the target as it was, and that the bytes after
// totalLength play no part.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "registry/variant.h"

namespace {

const char kBefore[] = "value before decoding";

// Kind and bytes of `a` and `b` are the same.
bool SameValue(const Qx::Variant& a, const Qx::Variant& b) {
    std::uint32_t n = 0, m = 0;
    const std::uint8_t* x = a.GetData(n);
    const std::uint8_t* y = b.GetData(m);
    return a.Kind() == b.Kind() && n == m && (n == 0 || std::memcmp(x, y, n) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Copy into an exact-size heap buffer so AddressSanitizer sees any read
    // past the given length.
    std::vector<std::uint8_t> input(data, data + size);
    // The target holds a buffer already, so a decode must release it (or,
    // when it refuses, keep it untouched).
    Qx::Variant value;
    value = kBefore;
    if (Qx::DecodeVariantBlob(value, input.data(), static_cast<std::uint32_t>(input.size())) < 0) {
        if (value.Kind() != Qx::String || std::strcmp(value.GetString(), kBefore) != 0) std::abort();
        return 0;
    }
    const std::int32_t kind = value.Kind();
    if (kind < Qx::Empty || (kind > Qx::Double && kind < Qx::Bytes) || kind > Qx::Opaque) std::abort();

    // Only the first totalLength bytes count: decoding them alone, from a
    // buffer of exactly that size, gives the same value.
    std::uint32_t totalLength = 0;
    std::memcpy(&totalLength, input.data(), 4);  // little-endian host
    std::vector<std::uint8_t> exact(input.begin(), input.begin() + totalLength);
    Qx::Variant alone;
    if (Qx::DecodeVariantBlob(alone, exact.data(), totalLength) != Qx::kOk || !SameValue(alone, value))
        std::abort();

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
    value.GetData(n);
    std::vector<std::uint8_t> blob(12 + std::size_t{n});
    if (Qx::EncodeVariantBlob(value, blob.data(), static_cast<std::uint32_t>(blob.size())) !=
        static_cast<Qx::Result>(12 + n))
        std::abort();
    // An empty Bytes value is the one encoding the decoder refuses.
    if (value.Kind() == Qx::Bytes && n == 0) return 0;
    Qx::Variant again;
    if (Qx::DecodeVariantBlob(again, blob.data(), static_cast<std::uint32_t>(blob.size())) != Qx::kOk ||
        !SameValue(again, value))
        std::abort();
    return 0;
}
