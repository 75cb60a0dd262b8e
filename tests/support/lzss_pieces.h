// The resumable LZSS decoder and scan driven the way the extraction drives
// them: the input handed in pieces, the output given in rooms of a window
// that keeps only the last 4,096 bytes before each room (disk output), each
// piece and each window its own heap block of exactly its size, so that
// AddressSanitizer sees a read or write past one. Piece and room sizes come
// from the caller's functions, so tests and fuzz targets choose every cut.
// Shared by the unit tests and the fuzz targets; never linked into the plug-in.
#ifndef MORQUENT_TESTS_LZSS_PIECES_H
#define MORQUENT_TESTS_LZSS_PIECES_H

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "archive/lzss.h"

// The first `wanted` bytes that `input` decodes to, zero-filled where the
// stream ends early, as LzssDecode gives them. `nextPiece()` and `nextRoom()`
// give the size of each next piece and room (at least 1).
template <typename NextPiece, typename NextRoom>
std::vector<uint8_t> DecodeInPieces(const uint8_t* input, size_t inputLength, size_t wanted, NextPiece nextPiece,
                                    NextRoom nextRoom)
{
    std::vector<uint8_t> result;
    LzssDecoder decoder;
    LzssDecoderStart(&decoder);
    size_t at = 0, pieceEnd = 0;
    bool ended = false;
    while (result.size() < wanted && !ended) {
        size_t history = std::min<size_t>(result.size(), LZSS_RING_SIZE);
        size_t room = std::min<size_t>(std::max<size_t>(nextRoom(), 1), wanted - result.size());
        std::vector<uint8_t> window(history + room, 0xCD);
        std::copy(result.end() - (ptrdiff_t)history, result.end(), window.begin());
        uint32_t pos = (uint32_t)history;
        while (pos < window.size()) {
            if (at == pieceEnd && at < inputLength)
                pieceEnd = std::min(inputLength, at + std::max<size_t>(nextPiece(), 1));
            // At the end of the input the decoder may still owe the rest of a
            // reference that the last room cut: it is called until it needs input.
            std::vector<uint8_t> piece(input + at, input + pieceEnd);
            uint32_t used = (uint32_t)piece.size();
            LzssStatus status = LzssDecodeSome(&decoder, piece.data(), &used, window.data(), &pos,
                                               (uint32_t)window.size());
            at += used;
            if (status == LZSS_NEEDS_INPUT && at == inputLength) {
                ended = true;
                break;
            }
        }
        result.insert(result.end(), window.begin() + (ptrdiff_t)history, window.begin() + pos);
    }
    result.resize(wanted, 0);
    return result;
}

// LzssDecodedSize of `input`, scanned in pieces of nextPiece() bytes.
template <typename NextPiece>
int32_t ScanInPieces(const uint8_t* input, size_t inputLength, NextPiece nextPiece)
{
    LzssScan scan;
    LzssScanStart(&scan);
    for (size_t at = 0; at < inputLength;) {
        size_t n = std::min(inputLength - at, std::max<size_t>(nextPiece(), 1));
        std::vector<uint8_t> piece(input + at, input + at + n);
        LzssScanSome(&scan, piece.data(), (uint32_t)n);
        at += n;
    }
    return LzssScanCount(&scan);
}

#endif
