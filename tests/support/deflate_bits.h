// Hand-assembled deflate streams for tests: a bit writer in deflate's bit
// order and canonical codes computed independently of the library.
#ifndef ARCSALVE_TESTS_SUPPORT_DEFLATE_BITS_H
#define ARCSALVE_TESTS_SUPPORT_DEFLATE_BITS_H

#include <cstdint>
#include <vector>

namespace arcsalve {

// Values go in least significant bit first; Huffman codes first bit first.
class BitWriter {
public:
    void Put(uint32_t value, int bits) {
        for (int i = 0; i < bits; ++i) PutBit((value >> i) & 1u);
    }
    // A prefix code given most significant bit first, as RFC 1951 writes it.
    void PutCode(uint32_t code, int length) {
        for (int i = length - 1; i >= 0; --i) PutBit((code >> i) & 1u);
    }
    void AlignToByte() {
        while (used_ != 0) PutBit(0);
    }
    void PutBytes(const std::vector<uint8_t>& bytes) {
        AlignToByte();
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    }
    std::vector<uint8_t> Finish() {
        AlignToByte();
        return bytes_;
    }
    size_t BitLength() const { return bytes_.size() * 8 - (used_ ? 8 - used_ : 0); }

private:
    void PutBit(uint32_t bit) {
        if (used_ == 0) bytes_.push_back(0);
        bytes_.back() |= static_cast<uint8_t>(bit << used_);
        used_ = (used_ + 1) & 7;
    }
    std::vector<uint8_t> bytes_;
    int used_ = 0;
};

// Canonical codes (RFC 1951 3.2.2) for the given lengths, most significant
// bit first; symbols of length 0 get no code.
inline std::vector<uint32_t> CanonicalCodesMsbFirst(const std::vector<uint8_t>& lengths) {
    std::vector<uint32_t> codes(lengths.size(), 0);
    uint32_t code = 0;
    for (int k = 1; k <= 16; ++k) {
        for (size_t i = 0; i < lengths.size(); ++i) {
            if (lengths[i] == k) codes[i] = code++;
        }
        code <<= 1;
    }
    return codes;
}

// A prefix code ready for writing symbols.
struct HuffmanCode {
    std::vector<uint8_t> lengths;
    std::vector<uint32_t> codes;
    explicit HuffmanCode(std::vector<uint8_t> l) : lengths(std::move(l)), codes(CanonicalCodesMsbFirst(lengths)) {}
    void Write(BitWriter* w, uint32_t symbol) const { w->PutCode(codes[symbol], lengths[symbol]); }
};

// The fixed codes of RFC 1951 3.2.6.
inline HuffmanCode FixedLiteralCode() {
    std::vector<uint8_t> l(288);
    for (int i = 0; i < 288; ++i) l[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    return HuffmanCode(l);
}
inline HuffmanCode FixedDistanceCode() { return HuffmanCode(std::vector<uint8_t>(32, 5)); }

// Writes a dynamic block header: HLIT, HDIST, all 19 code-length code lengths
// (HCLEN 15), and every literal/length and distance length as a plain symbol.
// The code-length code used is 16 four-bit codes for symbols 0..15.
inline void PutDynamicHeader(BitWriter* w, bool last, const std::vector<uint8_t>& literalLengths,
                             const std::vector<uint8_t>& distanceLengths) {
    static const int kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    w->Put(last ? 1 : 0, 1);
    w->Put(2, 2);
    w->Put(static_cast<uint32_t>(literalLengths.size() - 257), 5);
    w->Put(static_cast<uint32_t>(distanceLengths.size() - 1), 5);
    w->Put(15, 4);
    std::vector<uint8_t> cl(19, 0);
    for (int i = 0; i < 16; ++i) cl[i] = 4;
    for (int i = 0; i < 19; ++i) w->Put(cl[kOrder[i]], 3);
    HuffmanCode clCode(cl);
    for (uint8_t len : literalLengths) clCode.Write(w, len);
    for (uint8_t len : distanceLengths) clCode.Write(w, len);
}

}  // namespace arcsalve

#endif  // ARCSALVE_TESTS_SUPPORT_DEFLATE_BITS_H
