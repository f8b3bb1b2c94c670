// Readers of the microcontroller's application image appMain.mot, a text
// file of Motorola S-records.  Each call reads one whitespace-delimited
// record from the open stream; only S3 records (32-bit address) are acted
// on, every other type is skipped.  Data are placed in file order, never by
// their record address:
//
//  - readline16 gathers the data of the first records into the 128-byte
//    block `Data` (the first 1024 data bytes of the image go to flash
//    0x000..0x3FF as eight such blocks);
//  - readblock appends the data of the records after those to the large
//    block `DataBlock` until the terminating S3 record, whose address has
//    0xFFFF in its upper half (the rest goes to flash from 0x800 upward).
//
// Progress is reported through module-level state: `checkReadLine` is set
// to 1 when a block is complete (the caller clears it), and each reader
// keeps its write position `k` between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The caller's buffers: one 128-byte block plus a spare byte, and the large
// block of the second phase.  The readers never write past these sizes.
constexpr std::size_t kBlockBufferSize = 129;
constexpr std::size_t kDataBlockSize = 262144;

// Longest record the readers take (characters); a longer token is read in
// pieces, and the pieces after the first do not start with 'S'.
constexpr std::size_t kMaxRecordLength = 219;

// Block-complete flag, set by the readers and cleared by the caller.
extern int checkReadLine;

// Reads one record into the 128-byte block at the reader's position; when
// the block is complete the position returns to 0 and checkReadLine is set.
// A token that does not start with 'S' (end of file included) prints
// "Error...File .mot corrupted" and changes nothing.  Result always 0.
int readline16(FILE* fd, unsigned char* Data);

// Reads one record: appends an S3 record's data to DataBlock and adds their
// number to *BlockLength, or, for the terminating record, stores nothing,
// returns the position to 0 and sets checkReadLine.  Result always 0.
int readblock(FILE* fd, unsigned char* DataBlock, uint32_t* BlockLength);

// Write positions of the two readers.
uint32_t readline16Position();
uint32_t readblockPosition();

// Both positions and the flag back to 0, as at program start.
void resetReaders();
