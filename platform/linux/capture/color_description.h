#pragma once
// The colour description of every frame this backend captures. The converter writes
// Y'CbCr with these coefficients and range, and the encoder signals the same values in
// the stream's VUI so that decoders turn the pixels back into the right colours.

namespace platform::x11 {

struct ColorDescription {
    // H.264 VUI codes (ITU-T H.273).
    int colourPrimaries;          // 1: BT.709 primaries, the sRGB ones the screen uses
    int transferCharacteristics;  // 13: IEC 61966-2-1 (sRGB)
    int matrixCoefficients;       // 6: BT.601 (SMPTE 170M)
    bool fullRange;               // false: video range, Y' 16-235, Cb/Cr 16-240
    // The same values as x264 spells them.
    const char* x264Primaries;
    const char* x264Transfer;
    const char* x264Matrix;
};

// BT.601 video range: what libyuv's BGRX to NV12 conversion produces (measured faster
// than libswscale here, see frame_converter.cpp).
inline constexpr ColorDescription kCaptureColor{1, 13, 6, false, "bt709", "iec61966-2-1", "smpte170m"};

}  // namespace platform::x11
