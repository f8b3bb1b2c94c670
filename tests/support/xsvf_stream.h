// The small XSVF stream of tests/e2e/make_xsvf.py, for the unit tests.
#pragma once

#include <cstdint>
#include <vector>

namespace testxsvf {

inline void put32(std::vector<uint8_t>& s, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) s.push_back(static_cast<uint8_t>(v >> shift));
}

// XCOMMENT "test", XREPEAT 0, XRUNTEST 0, XENDIR 0, XENDDR 0, XSIR IDCODE,
// XSDRSIZE 32, XTDOMASK, XSDRTDO (IDCODE check), XSIR BYPASS, XRUNTEST 1000,
// XSDRSIZE 8, XSDR, XTDOMASK, XSDRTDO; with `wideBits` an XSDRSIZE of that
// many bits, XTDOMASK, XSDR and XSDRTDO of that width; XCOMPLETE.
inline std::vector<uint8_t> stream(uint32_t wideBits = 0) {
  std::vector<uint8_t> s = {0x16, 't', 'e', 's', 't', 0, 0x07, 0, 0x04};
  put32(s, 0);
  s.insert(s.end(), {0x13, 0, 0x14, 0, 0x02, 6, 0x09, 0x08});
  put32(s, 32);
  s.push_back(0x01);
  put32(s, 0x0FFFFFFF);
  s.push_back(0x09);
  put32(s, 0);
  put32(s, 0x01414093);
  s.insert(s.end(), {0x02, 6, 0x3F, 0x04});
  put32(s, 1000);
  s.push_back(0x08);
  put32(s, 8);
  s.insert(s.end(), {0x03, 0xA5, 0x01, 0xFF, 0x09, 0x5A, 0x00});
  if (wideBits != 0) {
    const std::size_t n = (wideBits + 7) / 8;
    std::vector<uint8_t> data;
    for (std::size_t i = 0; i < n; ++i) data.push_back(static_cast<uint8_t>(i * 7 + 3));
    s.push_back(0x08);
    put32(s, wideBits);
    s.push_back(0x01);
    s.insert(s.end(), n, 0xFF);
    s.push_back(0x03);
    s.insert(s.end(), data.begin(), data.end());
    s.push_back(0x09);
    s.insert(s.end(), data.begin(), data.end());
    s.insert(s.end(), data.rbegin(), data.rend());
  }
  s.push_back(0x00);
  return s;
}

}  // namespace testxsvf
