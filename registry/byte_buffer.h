// Qx::ByteBuffer: an owned block of bytes for value data read from or written
// to the registry. Memory comes from plain new[]; the process's operator new
// ends the process when memory runs out, so nothing here fails or throws.
#pragma once

#include <cstdint>

namespace Qx {

class ByteBuffer {
public:
    ByteBuffer() = default;
    explicit ByteBuffer(std::uint32_t size) { Reset(size); }
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() { delete[] data_; }

    // Null while the size is 0.
    std::uint8_t* Data() { return data_; }
    const std::uint8_t* Data() const { return data_; }
    std::uint32_t Size() const { return size_; }

    // A new block of `size` bytes in place of the old one, whose contents are
    // dropped. The new bytes are not initialised.
    void Reset(std::uint32_t size) {
        delete[] data_;
        data_ = size != 0 ? new std::uint8_t[size] : nullptr;
        size_ = size;
    }
    // Keeps only the first `size` bytes; `size` must not exceed Size().
    void Truncate(std::uint32_t size) { size_ = size; }

private:
    std::uint8_t* data_ = nullptr;
    std::uint32_t size_ = 0;
};

}  // namespace Qx
