// The VXP's side of the ISP line format.
//
// An ISP message is an array of 16-bit words: word 0 is the header (bits
// 15..12 the count field N, bits 11..0 the id), words 1..N+1 carry the
// parameters or data, word N+2 is the checksum, the two's complement of the
// 16-bit sum of the words before it.  On the line every word goes low byte
// first, and the bytes travel in a frame "=G" ... CR: each byte b becomes
// b + 42, and the results NUL, TAB, LF, CR and '=' are sent as '=' followed
// by the value plus 64, so that neither CR nor "=G" can occur inside.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cardsim {
namespace isp {

inline int countOf(uint16_t header) { return header >> 12; }
inline uint16_t idOf(uint16_t header) { return header & 0x0FFF; }
inline std::size_t wordsOf(uint16_t header) { return static_cast<std::size_t>(countOf(header)) + 3; }

// The encoded bytes of `bytes` (without "=G" and CR).
std::vector<uint8_t> encode(const std::vector<uint8_t>& bytes);
// Decodes the bytes between "=G" and CR.  False when the last byte is an
// escape without its partner (the frame is then malformed).
bool decode(const std::vector<uint8_t>& encoded, std::vector<uint8_t>* bytes);

// Words to bytes, low byte first, and back (an odd last byte is dropped).
std::vector<uint8_t> toBytes(const std::vector<uint16_t>& words);
std::vector<uint16_t> toWords(const std::vector<uint8_t>& bytes);

// The two's complement of the 16-bit sum of `n` words.
uint16_t checksum(const uint16_t* words, std::size_t n);
// True when the message's last word is the checksum of the words before it.
bool checksumOk(const std::vector<uint16_t>& message);
// Appends the checksum word to a header and its N+1 parameter words.
std::vector<uint16_t> sealed(std::vector<uint16_t> words);

// The whole frame on the line: "=G", the encoded message, CR.
std::vector<uint8_t> frame(const std::vector<uint16_t>& message);

}  // namespace isp
}  // namespace cardsim
