// The ISP line frame: "=G", the message bytes each shifted by 42 with the
// values that would give NUL, TAB, LF, CR or '=' escaped as '=' and the
// value plus 64, then CR.  No CR occurs inside, and "=G" always starts a
// frame.
#pragma once

// Writes "=G", the encoded bytes, CR and a NUL; returns the frame length
// without the NUL.  `encoded` needs 2 * length + 4 bytes.
int yEncode(unsigned char* encoded, const unsigned char* data, int length);
// Decodes `length` encoded bytes (without "=G" and CR); returns the count.
int yDecode(unsigned char* decoded, const unsigned char* data, int length);
// Diagnostic: prints the positions where a frame differs from its message.
void validateEncoding(const unsigned char* msgEncoded, int nbBytes, const unsigned char* msg);
