// The two lossless strip codecs of HAV movies and the horizontal predictor
// of 24-bit strips. A strip is whole rows of 8, 16 or 24-bit pixels, top row
// first, in the pixel layout of the image record.
//
// BEST codes runs, copies from the row above, unchanged stretches against the
// previous frame, copies from a window over the last 12 rows and re-uses of
// earlier window copies (a 1024-slot dictionary). FAST codes literals, runs,
// row copies and unchanged stretches, chosen greedily. Both give up (return
// 0) once the coded strip would exceed 95 % of the raw strip.
#pragma once

#include <cstdint>

namespace vek {

// Most bytes an encoder may produce for a strip of `raw_bytes` bytes:
// 95 % of the raw size, rounded to nearest (ties to even).
int64_t HavBudget(int64_t raw_bytes);

// Room an encoder's output buffer needs so that the encoder can use its whole
// budget (it stops a few bytes after the budget is passed).
inline int64_t HavCodedCapacity(int64_t raw_bytes) { return HavBudget(raw_bytes) + 16; }

// Encoders. `src` holds rows x width x bytespp bytes; `prev` (or null) the
// previous frame's strip, used for unchanged stretches when `delta` is set.
// `out` holds `out_capacity` bytes; with less than HavCodedCapacity the
// budget shrinks to fit. Returns the coded bytes, or 0 when the strip does
// not fit the budget.
int64_t HVDCBest(const uint8_t* src, uint8_t* out, int64_t out_capacity, const uint8_t* prev,
                 bool delta, int32_t bytespp, int32_t rows, int32_t width);
int64_t HVDCFast(const uint8_t* src, uint8_t* out, int64_t out_capacity, const uint8_t* prev,
                 bool delta, int32_t bytespp, int32_t rows, int32_t width);

// Decoders. Apply the coded strip `in` (`in_bytes` bytes) onto `target`
// (rows x width x bytespp bytes, holding the previous frame for delta
// strips). True when the stream decodes to a complete strip; false for any
// stream that is broken, however it is broken. Never reads outside `in` nor
// writes outside `target`.
bool HavDecodeBest(const uint8_t* in, int64_t in_bytes, uint8_t* target, int32_t width,
                   int32_t bytespp, int32_t rows);
bool HavDecodeFast(const uint8_t* in, int64_t in_bytes, uint8_t* target, int32_t width,
                   int32_t bytespp, int32_t rows);

// Horizontal prediction of 24-bit pixels taken as one sequence: every byte
// minus the same byte of the pixel before (0 before the first), mod 256.
// Target and source are distinct buffers.
void HavPredict(int64_t pixels, uint8_t* target, const uint8_t* source);
// The inverse: running sums per byte of the pixel, mod 256. Target and
// source are distinct buffers.
void HavUnpredict(int64_t pixels, uint8_t* target, const uint8_t* source);

}  // namespace vek
