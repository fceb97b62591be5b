// A working byte buffer that only grows and never zero-fills: the planar decode
// scratch and the JPEG output area are rewritten completely before every read,
// so committing zeroes for them would only cost page faults on every growth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace processing {

class ByteBuffer {
  public:
    // Makes room for at least `size` bytes; existing contents are not kept.
    void Reserve(size_t size) {
        if (size <= capacity_) {
            return;
        }
        bytes_.reset(new uint8_t[size]);  // default-initialised: no zero fill
        capacity_ = size;
    }
    uint8_t* Data() { return bytes_.get(); }
    const uint8_t* Data() const { return bytes_.get(); }
    size_t Capacity() const { return capacity_; }

  private:
    std::unique_ptr<uint8_t[]> bytes_;
    size_t capacity_ = 0;
};

}  // namespace processing
