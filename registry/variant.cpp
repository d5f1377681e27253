#include "registry/variant.h"

#include <cstring>
#include <limits>
#include <new>

namespace Qx {
namespace {

std::uint32_t ReadLe32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

void WriteLe32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

// The first `width` bytes of a buffer as a little-endian integer. A buffer
// shorter than `width` reads only its own bytes, as if zero-padded, so
// {01} gives 1 and an empty buffer 0.
std::uint64_t ReadLePrefix(const std::uint8_t* p, std::uint32_t size, std::uint32_t width) {
    std::uint64_t v = 0;
    const std::uint32_t n = size < width ? size : width;
    for (std::uint32_t i = 0; i < n; ++i) v |= std::uint64_t{p[i]} << (8 * i);
    return v;
}

// Truncation toward zero of an already rounded value. NaN and values outside
// the target range give the target's lowest value, as the processor's own
// truncating conversion does (0x80000000 / 0x8000000000000000), instead of
// being undefined.
std::int32_t TruncateToInt32(double y) {
    if (!(y > -2147483649.0 && y < 2147483648.0)) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(y);
}

std::int64_t TruncateToInt64(double y) {
    if (!(y >= -9223372036854775808.0 && y < 9223372036854775808.0))
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(y);
}

std::int64_t TruncateToInt64(float y) {
    if (!(y >= -9223372036854775808.0f && y < 9223372036854775808.0f))
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(y);
}

// Half away from zero, added in double precision. The volatile store pins the
// sum to a 64-bit double even where the compiler could keep excess precision.
double AddHalfDouble(double x) {
    volatile double y = x < 0.0 ? x - 0.5 : x + 0.5;
    return y;
}

// Half away from zero, added in single precision: 0.49999997f + 0.5f rounds
// to 1.0f, which is the stored behaviour of Float to 64-bit conversions.
float AddHalfSingle(float x) {
    volatile float y = x < 0.0f ? x - 0.5f : x + 0.5f;
    return y;
}

}  // namespace

Variant::~Variant() {
    ReleaseBuffer();
    payload.int64 = 0;
    size = 0;
    kind = Empty;
}

void Variant::ReleaseBuffer() {
    if (kind >= Bytes) Free(payload.buffer);
}

void* Variant::Allocate(std::uint32_t byteCount) { return ::operator new(byteCount); }

void Variant::Free(void* buffer) { ::operator delete(buffer); }

void Variant::Clear() {
    ReleaseBuffer();
    payload.int64 = 0;
    size = 0;
    kind = Empty;
}

// Every setter fills its new buffer before it releases the old one, so the
// bytes it copies from may be this value's own (v = v.GetString()).
void Variant::Adopt(std::int32_t newKind, std::uint8_t* buffer, std::uint32_t byteCount) {
    ReleaseBuffer();
    payload.int64 = 0;
    payload.buffer = buffer;
    size = byteCount;
    kind = newKind;
}

void Variant::SetBuffer(const void* data, std::uint32_t byteCount) {
    auto* buffer = static_cast<std::uint8_t*>(Allocate(byteCount));
    if (byteCount != 0) std::memcpy(buffer, data, byteCount);
    Adopt(Bytes, buffer, byteCount);
}

std::int32_t Variant::SetString(const char* text) {
    SetBoundedString(text, static_cast<std::uint32_t>(std::strlen(text)));
    return String;
}

Variant& Variant::operator=(const char* text) {
    SetString(text);
    return *this;
}

void Variant::SetBoundedString(const char* text, std::uint32_t maxLength) {
    const void* nul = std::memchr(text, 0, maxLength);
    const std::uint32_t length =
        nul ? static_cast<std::uint32_t>(static_cast<const char*>(nul) - text) : maxLength;
    auto* buffer = static_cast<std::uint8_t*>(Allocate(length + 1));
    if (length != 0) std::memcpy(buffer, text, length);
    buffer[length] = 0;
    Adopt(String, buffer, length + 1);
}

std::int32_t Variant::SetValue(std::int32_t newKind, const void* data, std::uint32_t byteCount) {
    std::uint32_t width = 0;
    switch (newKind) {
    case Bool: width = 1; break;
    case Int32:
    case Float: width = 4; break;
    case Int64:
    case Double: width = 8; break;
    case 6:
    case 7:
    case Bytes:
        SetBuffer(data, byteCount);
        return Bytes;
    case Opaque:
        SetBuffer(data, byteCount);
        kind = Opaque;
        return Opaque;
    case String:
        return SetString(static_cast<const char*>(data));
    default:
        Clear();
        return Empty;
    }
    if (byteCount != width) {
        Clear();
        return Empty;
    }
    // Read before Clear: `data` may be this value's own inline scalar.
    Payload scalar{};
    std::memcpy(scalar.bytes, data, width);
    Clear();
    payload = scalar;
    kind = newKind;
    return newKind;
}

bool Variant::ToBool() const {
    switch (kind) {
    case Bool: return payload.boolean != 0;
    case Int32: return payload.int32 != 0;
    case Int64: return payload.int64 != 0;
    case Float: return payload.single != 0.0f;  // NaN != 0 holds: true
    case Double: return payload.dbl != 0.0;
    case Bytes:
    case Opaque: return size != 0;
    case String: return size > 1;
    default: return false;
    }
}

std::int32_t Variant::ToInt32() const {
    switch (kind) {
    case Bool: return payload.boolean;
    case Int32: return payload.int32;
    case Int64: return static_cast<std::int32_t>(static_cast<std::uint32_t>(payload.int64));
    case Float: return TruncateToInt32(AddHalfDouble(static_cast<double>(payload.single)));
    case Double: return TruncateToInt32(AddHalfDouble(payload.dbl));
    case Bytes:
        return static_cast<std::int32_t>(
            static_cast<std::uint32_t>(ReadLePrefix(payload.buffer, size, 4)));
    case String: return static_cast<std::int32_t>(size - 1);
    default: return 0;
    }
}

std::int64_t Variant::ToInt64() const {
    switch (kind) {
    case Bool: return payload.boolean;
    case Int32: return payload.int32;
    case Int64: return payload.int64;
    case Float: return TruncateToInt64(AddHalfSingle(payload.single));
    case Double: return TruncateToInt64(AddHalfDouble(payload.dbl));
    case Bytes: return static_cast<std::int64_t>(ReadLePrefix(payload.buffer, size, 8));
    case String: return static_cast<std::int64_t>(std::uint64_t{size - 1});
    default: return 0;
    }
}

float Variant::ToFloat() const {
    switch (kind) {
    case Bool: return payload.boolean;
    case Int32: return static_cast<float>(payload.int32);
    case Int64: return static_cast<float>(payload.int64);
    case Float: return payload.single;
    case Double: return static_cast<float>(payload.dbl);
    case Bytes:
    case String: return static_cast<float>(ToInt32());
    default: return 0.0f;
    }
}

double Variant::ToDouble() const {
    switch (kind) {
    case Bool: return payload.boolean;
    case Int32: return payload.int32;
    case Int64: return static_cast<double>(payload.int64);
    case Float: return payload.single;
    case Double: return payload.dbl;
    case Bytes:
    case String: return static_cast<double>(ToInt64());
    default: return 0.0;
    }
}

const std::uint8_t* Variant::GetData(std::uint32_t& byteCount) const {
    switch (kind) {
    case Bool: byteCount = 1; return payload.bytes;
    case Int32:
    case Float: byteCount = 4; return payload.bytes;
    case Int64:
    case Double: byteCount = 8; return payload.bytes;
    case Bytes:
    case String:
    case Opaque: byteCount = size; return payload.buffer;
    default: byteCount = 0; return nullptr;
    }
}

const void* Variant::GetElements(std::uint32_t& count) const {
    switch (kind) {
    case Bool:
    case Int32:
    case Int64:
    case Float:
    case Double: count = 1; return payload.bytes;
    case Bytes:
    case String: count = size; return payload.buffer;
    default: count = 0; return nullptr;
    }
}

const char* Variant::GetString() const {
    return kind == String ? reinterpret_cast<const char*>(payload.buffer) : nullptr;
}

Result EncodeVariantBlob(const Variant& value, void* out, std::uint32_t capacity) {
    std::uint32_t n = 0;
    const std::uint8_t* data = value.GetData(n);
    const std::uint64_t total = std::uint64_t{kVariantBlobHeaderSize} + n;
    if (out == nullptr || capacity < total) return kFail;
    auto* bytes = static_cast<std::uint8_t*>(out);
    WriteLe32(bytes, static_cast<std::uint32_t>(total));
    WriteLe32(bytes + 4, 0);
    WriteLe32(bytes + 8, static_cast<std::uint32_t>(value.Kind()));
    if (n != 0) std::memcpy(bytes + kVariantBlobHeaderSize, data, n);
    return static_cast<Result>(total);
}

Result DecodeVariantBlob(Variant& value, const void* blob, std::uint32_t length) {
    if (blob == nullptr || length < kVariantBlobHeaderSize) return kFail;
    const auto* bytes = static_cast<const std::uint8_t*>(blob);
    const std::uint32_t totalLength = ReadLe32(bytes);
    const std::uint32_t reserved = ReadLe32(bytes + 4);
    const std::uint32_t kind = ReadLe32(bytes + 8);
    if (totalLength > length) return kFail;
    // A length that does not even cover the header is no blob; without this
    // test the payload size below would wrap around.
    if (totalLength < kVariantBlobHeaderSize) return kFail;
    if (reserved != 0) return kFail;
    if (kind > Opaque) return kFail;

    if (totalLength == kVariantBlobHeaderSize) {
        if (kind == Empty) {
            value.Clear();
            return kOk;
        }
        if (kind == Opaque) {
            value.Clear();
            value.kind = Opaque;  // no buffer, size 0
            return kOk;
        }
        return kFail;
    }
    if (kind == Empty) return kFail;

    const std::uint8_t* payload = bytes + kVariantBlobHeaderSize;
    const std::uint32_t payloadSize = totalLength - kVariantBlobHeaderSize;
    if (kind == String) {
        // Text ends at its first NUL, or at the payload's end when it has
        // none; never beyond the bytes given.
        value.SetBoundedString(reinterpret_cast<const char*>(payload), payloadSize);
        return kOk;
    }
    value.SetValue(static_cast<std::int32_t>(kind), payload, payloadSize);
    return kOk;
}

}  // namespace Qx
