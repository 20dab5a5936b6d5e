// Colour conversion of the baseline encoder, as a template shared by the scalar and
// SIMD kernels.
#pragma once

namespace mpg::jpeg {

// RGB to YCbCr as JFIF defines it, with Y level-shifted by 128 for the DCT (T.81
// A.3.1) and Cb, Cr already centred on zero. The expressions are evaluated exactly as
// written, left to right, in single precision; V is float or a SIMD type whose lanes
// are blocks.
template <class V>
inline void RgbToYcc(V r, V g, V b, V& y, V& cb, V& cr) {
  y = ((V(0.299f) * r + V(0.587f) * g) + V(0.114f) * b) - V(128.0f);
  cb = (V(-0.16874f) * r - V(0.33126f) * g) + V(0.5f) * b;
  cr = (V(0.5f) * r - V(0.41869f) * g) - V(0.08131f) * b;
}

}  // namespace mpg::jpeg
