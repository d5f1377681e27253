// Qx::Variant: the typed value that the registry toolkit reads and writes.
//
// A Variant holds nothing, one inline scalar (bool byte, 32/64-bit integer,
// single or double precision number), or an owned byte buffer (raw bytes,
// narrow text with its NUL, opaque bytes). Kind numbers are part of the stored
// blob format and never change.
//
// Buffers are obtained through the virtual Allocate and given back through the
// virtual Free, so a derived class can supply its own allocator. The release
// rule is a single test: whenever kind >= 8, Free(payload.buffer) is called,
// also for a null pointer. Note that the destructor runs after a derived part
// is gone, so a derived class with its own allocator calls Clear() in its own
// destructor.
#pragma once

#include <cstdint>

#include "registry/result_codes.h"

namespace Qx {

enum VariantKind : std::int32_t {
    Empty = 0,
    Bool = 1,
    Int32 = 2,
    Int64 = 3,
    Float = 4,
    Double = 5,
    // 6 and 7 are accepted by SetValue and by the blob decoder and stored as
    // Bytes; a Variant never holds them.
    Bytes = 8,
    String = 9,
    Opaque = 10,
};

class Variant {
public:
    Variant() = default;
    virtual ~Variant();

    // A Variant is never copied or moved; only text is assigned to it.
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;

    // Conversions. Bool: the byte, unsigned. Int32/Int64: the value (Int64 to
    // 32 bits keeps the low bits). Float/Double to integers: a half added away
    // from zero, then truncated toward zero; Float to 64 bits adds the half in
    // single precision, every other case in double. NaN and out-of-range
    // values give the lowest integer. Bytes: the first 4/8 bytes
    // little-endian (a shorter buffer as if zero-padded). String: the text
    // length. Opaque: 0. ToFloat/ToDouble of Bytes and String go through the
    // virtual ToInt32/ToInt64; everything else converts to the nearest value.
    virtual bool ToBool() const;
    virtual std::int32_t ToInt32() const;
    virtual std::int64_t ToInt64() const;
    virtual float ToFloat() const;
    virtual double ToDouble() const;

    // The value's bytes as stored in a blob: the inline scalar (1, 4 or 8
    // bytes) or the buffer; null and 0 for Empty.
    virtual const std::uint8_t* GetData(std::uint32_t& byteCount) const;
    // The value's elements: the inline scalar and 1 for kinds 1 to 5, the
    // buffer and its size for Bytes and String, null and 0 otherwise.
    virtual const void* GetElements(std::uint32_t& count) const;
    // The NUL-terminated text of a String; null for every other kind.
    virtual const char* GetString() const;

    // A new buffer of byteCount bytes (0 allowed). Never null: when memory
    // runs out, the process's operator new ends the process.
    virtual void* Allocate(std::uint32_t byteCount);
    // Gives back a buffer from Allocate; null is allowed.
    virtual void Free(void* buffer);

    // Releases any buffer and makes the value Empty.
    void Clear();
    // The setters below may be given this value's own bytes or text: they
    // copy before they release the old buffer.

    // Copies `size` bytes from `data` into a new buffer; kind becomes Bytes.
    void SetBuffer(const void* data, std::uint32_t size);
    // Copies the NUL-terminated text with its NUL; kind becomes String.
    // Returns String.
    std::int32_t SetString(const char* text);
    Variant& operator=(const char* text);
    // Stores `kind` from `data`: scalars only when `size` is their exact width,
    // kinds 6 to 8 as Bytes, 10 as Opaque, 9 as text up to the first NUL in
    // `data` (size not used). Returns the kind held afterwards (0 when the
    // kind or width did not fit).
    std::int32_t SetValue(std::int32_t kind, const void* data, std::uint32_t size);

    std::int32_t Kind() const { return kind; }
    std::uint32_t Size() const { return size; }

private:
    friend Result DecodeVariantBlob(Variant& value, const void* blob, std::uint32_t length);

    void ReleaseBuffer();
    // Releases the old buffer, then holds `buffer` (from Allocate) as `newKind`.
    void Adopt(std::int32_t newKind, std::uint8_t* buffer, std::uint32_t byteCount);
    // Text of at most `maxLength` bytes, ending at the first NUL within them
    // or at maxLength; stored with a NUL. Kind becomes String.
    void SetBoundedString(const char* text, std::uint32_t maxLength);

    union Payload {
        std::uint8_t boolean;
        std::int32_t int32;
        std::int64_t int64;
        float single;
        double dbl;
        std::uint8_t* buffer;
        std::uint8_t bytes[8];
    };

    Payload payload{};
    std::uint32_t size = 0;
    std::int32_t kind = Empty;
};

// VariantBlob layout, all little-endian:
//   0  u32 totalLength  (12 + payload length)
//   4  u32 reserved     (0)
//   8  u32 kind         (0 to 10)
//   12 payload          (GetData bytes)
constexpr std::uint32_t kVariantBlobHeaderSize = 12;

// Writes the blob of `value` into `out` (capacity bytes). Returns the byte
// count written (12 or more), or kFail when out is null or too small.
Result EncodeVariantBlob(const Variant& value, void* out, std::uint32_t capacity);

// Reads a blob of `length` available bytes into `value`. Returns kOk or
// kFail; on kFail the target is left as it was. Never reads past `length`.
Result DecodeVariantBlob(Variant& value, const void* blob, std::uint32_t length);

}  // namespace Qx
