// Huffman trees for one block: code lengths from symbol frequencies, limited
// to 15 bits (7 for the code-length code), canonical codes from the lengths,
// and the block's cost in bits with dynamic and with fixed codes.
//
// The tree is built the classic way, by repeatedly joining the two least
// frequent nodes taken from a heap. Which of several equally frequent nodes
// is taken first decides the shape of the tree, so the order is fixed: the
// lower frequency first, and between equal frequencies the shallower subtree
// (leaves have depth 0) first, with a node that ties in both staying ahead of
// the one it is compared with. Preferring shallow subtrees keeps the longest
// code short.
#include <cstring>

#include "recompress/deflate.h"

namespace arcsalve {
namespace {

// True when node a is taken from the heap before node b.
inline bool ComesBefore(const TreeEntry* tree, const uint8_t* depth, int a, int b) {
    return tree[a].freqOrCode < tree[b].freqOrCode ||
           (tree[a].freqOrCode == tree[b].freqOrCode && depth[a] <= depth[b]);
}

// Restores the heap order below index k: the node at k moves down past every
// child that is strictly ahead of it (the smaller child, the right one when
// it comes before the left), and stops at a child it ties with.
void SiftDown(DeflateState* s, const TreeEntry* tree, int k) {
    int v = s->heap[k];
    int j = k << 1;
    while (j <= s->heapLength) {
        if (j < s->heapLength && ComesBefore(tree, s->depth, s->heap[j + 1], s->heap[j])) ++j;
        if (ComesBefore(tree, s->depth, v, s->heap[j])) break;
        s->heap[k] = s->heap[j];
        k = j;
        j <<= 1;
    }
    s->heap[k] = v;
}

}  // namespace

void StartBlock(DeflateState* s) {
    for (int n = 0; n < kLiteralLengthSymbols; ++n) s->literalTree[n].freqOrCode = 0;
    for (int n = 0; n < kDistanceSymbols; ++n) s->distanceTree[n].freqOrCode = 0;
    for (int n = 0; n < kCodeLengthSymbols; ++n) s->codeLengthTree[n].freqOrCode = 0;
    s->literalTree[kEndOfBlock].freqOrCode = 1;
    s->dynamicCost = 0;
    s->fixedCost = 0;
    s->itemCount = 0;
    s->distanceCount = 0;
    s->flagByteCount = 0;
    s->flagByte = 0;
    s->flagBit = 1;
}

void BuildHuffmanTree(DeflateState* s, HuffmanTreeInfo* info) {
    TreeEntry* tree = info->tree;
    const TreeEntry* fixed = info->fixedTree;
    int largest = -1;
    s->heapLength = 0;
    s->heapTop = kHeapSize;
    for (int n = 0; n < info->symbols; ++n) {
        if (tree[n].freqOrCode != 0) {
            s->heap[++s->heapLength] = n;
            s->depth[n] = 0;
            largest = n;
        } else {
            tree[n].parentOrLength = 0;
        }
    }
    // A code needs two symbols at least: RFC 1951 wants a complete code, and
    // one code of length 1 is the smallest. Unused symbols made up to fill it
    // (the lowest above the largest when that is 0 or 1, else symbol 0) take
    // frequency 1; the costs are credited in advance for the bits that they
    // will be counted with below.
    while (s->heapLength < 2) {
        int added = largest < 2 ? ++largest : 0;
        s->heap[++s->heapLength] = added;
        tree[added].freqOrCode = 1;
        s->depth[added] = 0;
        s->dynamicCost -= 1;
        if (fixed != nullptr) s->fixedCost -= fixed[added].parentOrLength;
    }
    info->largestSymbol = largest;

    for (int n = s->heapLength / 2; n >= 1; --n) SiftDown(s, tree, n);

    // Join the two least frequent nodes until one is left. The nodes leave
    // the heap into its top end, so heap[heapTop..] lists every node with
    // each parent before its children.
    int node = info->symbols;
    do {
        int n = s->heap[1];
        s->heap[1] = s->heap[s->heapLength--];
        SiftDown(s, tree, 1);
        int m = s->heap[1];
        s->heap[--s->heapTop] = n;
        s->heap[--s->heapTop] = m;
        tree[node].freqOrCode = static_cast<uint16_t>(tree[n].freqOrCode + tree[m].freqOrCode);
        s->depth[node] = static_cast<uint8_t>((s->depth[n] >= s->depth[m] ? s->depth[n] : s->depth[m]) + 1);
        tree[n].parentOrLength = tree[m].parentOrLength = static_cast<uint16_t>(node);
        s->heap[1] = node++;
        SiftDown(s, tree, 1);
    } while (s->heapLength >= 2);
    s->heap[--s->heapTop] = s->heap[1];

    AssignBitLengths(s, info);
    AssignCodes(s, tree, largest);
}

// Lengths from the tree's depths, cut to the limit. A cut leaves the code
// over-subscribed; it is made whole again by lengthening codes of the
// deepest level that still fits (each such move frees room for two codes at
// the next level down), and the resulting counts per length are handed out
// again, the longest lengths to the least frequent symbols.
void AssignBitLengths(DeflateState* s, HuffmanTreeInfo* info) {
    TreeEntry* tree = info->tree;
    const TreeEntry* fixed = info->fixedTree;
    const int limit = info->lengthLimit;
    const int largest = info->largestSymbol;
    for (int bits = 0; bits <= kMaxCodeBits; ++bits) s->lengthCounts[bits] = 0;

    // Parents come before their children in the removal order, so each
    // parent's length (which replaces its parent link) is known when its
    // children are reached.
    tree[s->heap[s->heapTop]].parentOrLength = 0;
    int overflow = 0;
    for (int h = s->heapTop + 1; h < kHeapSize; ++h) {
        int n = s->heap[h];
        int bits = tree[tree[n].parentOrLength].parentOrLength + 1;
        if (bits > limit) {
            bits = limit;
            ++overflow;
        }
        tree[n].parentOrLength = static_cast<uint16_t>(bits);
        if (n > largest) continue;  // an internal node
        s->lengthCounts[bits]++;
        uint32_t extra = n >= info->firstExtra ? info->extraBits[n - info->firstExtra] : 0;
        uint32_t freq = tree[n].freqOrCode;
        s->dynamicCost += freq * (static_cast<uint32_t>(bits) + extra);
        if (fixed != nullptr) s->fixedCost += freq * (fixed[n].parentOrLength + extra);
    }
    if (overflow == 0) return;

    do {
        int bits = limit - 1;
        while (s->lengthCounts[bits] == 0) --bits;
        s->lengthCounts[bits]--;
        s->lengthCounts[bits + 1] += 2;
        s->lengthCounts[limit]--;
        overflow -= 2;
    } while (overflow > 0);

    int h = kHeapSize;
    for (int bits = limit; bits != 0; --bits) {
        int count = s->lengthCounts[bits];
        while (count != 0) {
            int m = s->heap[--h];
            if (m > largest) continue;
            if (tree[m].parentOrLength != bits) {
                s->dynamicCost += (static_cast<uint32_t>(bits) - tree[m].parentOrLength) * tree[m].freqOrCode;
                tree[m].parentOrLength = static_cast<uint16_t>(bits);
            }
            --count;
        }
    }
}

// Canonical codes (RFC 1951, 3.2.2): codes of one length are consecutive in
// symbol order, and each length starts where the shorter ones left off.
void AssignCodes(DeflateState* s, TreeEntry* tree, int largestSymbol) {
    uint32_t next[kMaxCodeBits + 1];
    uint32_t code = 0;
    next[0] = 0;
    for (int bits = 1; bits <= kMaxCodeBits; ++bits) {
        code = (code + s->lengthCounts[bits - 1]) << 1;
        next[bits] = code;
    }
    for (int n = 0; n <= largestSymbol; ++n) {
        int length = tree[n].parentOrLength;
        if (length == 0) continue;
        tree[n].freqOrCode = static_cast<uint16_t>(ReverseBits(next[length]++, length));
    }
}

// The lengths of a dynamic block's trees are sent run-length coded: a run of
// one non-zero length is the length once, then symbol 16 for 3 to 6 repeats;
// runs of zeros are symbol 17 (3 to 10) or 18 (11 to 138); shorter runs are
// sent length by length. This counts the symbols EmitLengthRuns will send, so
// that the code-length code can be built from them. A guard length that
// never equals a real one ends the last run.
void CountLengthRuns(DeflateState* s, TreeEntry* tree, int largestSymbol) {
    TreeEntry* lengthTree = s->codeLengthTree;
    int previous = -1;
    int next = tree[0].parentOrLength;
    int count = 0;
    int maxCount = 7;
    int minCount = 4;
    if (next == 0) {
        maxCount = 138;
        minCount = 3;
    }
    tree[largestSymbol + 1].parentOrLength = 0xFFFF;
    for (int n = 0; n <= largestSymbol; ++n) {
        int current = next;
        next = tree[n + 1].parentOrLength;
        if (++count < maxCount && current == next) continue;
        if (count < minCount) {
            lengthTree[current].freqOrCode = static_cast<uint16_t>(lengthTree[current].freqOrCode + count);
        } else if (current != 0) {
            if (current != previous) lengthTree[current].freqOrCode++;
            lengthTree[kRepeatPrevious].freqOrCode++;
        } else if (count <= 10) {
            lengthTree[kRepeatZero3].freqOrCode++;
        } else {
            lengthTree[kRepeatZero11].freqOrCode++;
        }
        count = 0;
        previous = current;
        if (next == 0) {
            maxCount = 138;
            minCount = 3;
        } else if (current == next) {
            maxCount = 6;
            minCount = 3;
        } else {
            maxCount = 7;
            minCount = 4;
        }
    }
}

int BuildCodeLengthTree(DeflateState* s, int largestLiteral, int largestDistance) {
    CountLengthRuns(s, s->literalTree, largestLiteral);
    CountLengthRuns(s, s->distanceTree, largestDistance);
    HuffmanTreeInfo info = {s->codeLengthTree, nullptr, kCodeLengthExtraBits, 0,
                            kCodeLengthSymbols, kMaxCodeLengthBits, 0};
    BuildHuffmanTree(s, &info);
    // Trailing unused code-length lengths are left off, but at least four
    // are sent (HCLEN counts from 4).
    int last = kCodeLengthSymbols - 1;
    while (last >= 4 && s->codeLengthTree[kDeflateCodeLengthOrder[last]].parentOrLength == 0) --last;
    // HLIT, HDIST and HCLEN, then 3 bits per code-length length.
    s->dynamicCost += 3 * static_cast<uint32_t>(last + 1) + 5 + 5 + 4;
    return last;
}

}  // namespace arcsalve
