// Test code: an LSB-first bit writer for the streams of the test encoders
// (shrink, reduce, implode all pack their bits least significant first).
#ifndef ARCSALVE_TESTS_SUPPORT_LEGACY_BIT_WRITER_H
#define ARCSALVE_TESTS_SUPPORT_LEGACY_BIT_WRITER_H

#include <cstdint>
#include <vector>

namespace arcsalve::test {

class LsbBitWriter {
public:
    // Appends the low n bits of value, its bit 0 first.
    void Put(uint32_t value, int n) {
        for (int i = 0; i < n; ++i) {
            if (used_ == 0) bytes_.push_back(0);
            if ((value >> i) & 1) bytes_.back() |= static_cast<uint8_t>(1u << used_);
            used_ = (used_ + 1) & 7;
        }
    }
    // Appends a whole byte; the writer must stand at a byte boundary.
    void PutByte(uint8_t b) { Put(b, 8); }
    size_t BitCount() const { return bytes_.size() * 8 - (used_ ? 8 - used_ : 0); }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    int used_ = 0;  // bits used in the last byte, 0 when it is full
};

}  // namespace arcsalve::test

#endif  // ARCSALVE_TESTS_SUPPORT_LEGACY_BIT_WRITER_H
