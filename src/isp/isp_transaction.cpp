#include "isp/isp_transaction.h"

#include <cstdio>
#include <cstring>

#include "common/ticks.h"
#include "isp/isp_message.h"
#include "isp/isp_notes.h"
#include "isp/line_encoding.h"
#include "link/serial_link.h"

namespace {

constexpr DWORD kAnswerDeadlineMs = 3000;
// A frame store never needs more: the receiver stops reading once 255 bytes
// are stored, and one read brings at most 50 more.
constexpr int kFrameStore = 305;

}  // namespace

void drainIspInput(SerialLink& link, DWORD limitMs) { link.drain(limitMs); }

IspFrameRead ReadISPResponse(SerialLink& link, unsigned char* frame, int capacity) {
  unsigned char chunk[55];
  int i = 0;  // bytes stored in `frame`
  int state = 0;
  bool complete = false;
  bool error = false;
  bool readFailed = false;
  const DWORD deadline = deadlineIn(kAnswerDeadlineMs);

  while (!complete && !error && i <= 254) {
    // Each read returns as soon as bytes are there, and waits for the first
    // one no longer than the deadline.
    DWORD got = 0;
    if (!link.readUntil(chunk, 50, deadline, &got)) {
      error = true;
      readFailed = true;
      got = 0;
    }
    if (deadlinePassed(deadline)) error = true;

    for (DWORD k = 0; k < got && !complete; ++k) {
      const unsigned char c = chunk[k];
      switch (state) {
        case 0:  // hunting for the frame start
          if (c == '=') {
            if (i < capacity) frame[i++] = c;
            state = 1;
          }
          break;
        case 1:  // seen '='
          if (c == 'G') {
            if (i < capacity) frame[i++] = c;
            state = 2;
          } else if (c != '=') {
            --i;  // not a frame start: drop the stored '='
            state = 0;
          }
          break;
        default:  // inside a frame
          if (i >= capacity) {  // the store is full: only the frame end still counts
            if (c == 0x0D) complete = true;
            break;
          }
          frame[i] = c;
          if (c == 'G' && frame[i - 1] == '=') {
            // "=G" never occurs inside an encoded frame: the frame before
            // was cut off and a new one starts here.
            i = 1;
            frame[0] = '=';
            frame[1] = 'G';
          }
          ++i;
          if (c == 0x0D) complete = true;  // the rest of this read is dropped
          break;
      }
    }
  }
  using Status = IspFrameRead::Status;
  if (!error) return {Status::kFrame, i};
  return {readFailed ? Status::kPortFailure : Status::kTimeout, 0};
}

IspResult sendISPCmd(SerialLink& link, uint16_t* msg, uint16_t* response, DWORD wait,
                     bool* wellFormed) {
  if (wellFormed != nullptr) *wellFormed = false;
  unsigned char bytes[kFrameStore];  // the request's bytes, later the received frame
  unsigned char frame[kFrameStore];  // the request's frame, later the answer's bytes

  // Checksum, the words low byte first, the line frame.
  createChecksum(msg);
  int words = ispWords(msg[0]);
  for (int k = 0; k < words; ++k) {
    bytes[2 * k] = static_cast<unsigned char>(msg[k] & 0xFF);
    bytes[2 * k + 1] = static_cast<unsigned char>(msg[k] >> 8);
  }
  const int frameLength = yEncode(frame, bytes, 2 * words);
  if (link.tracing()) link.note(ispRequestNote(msg));
  if (!link.writeAll(frame, static_cast<std::size_t>(frameLength)))
    return IspResult::PortFailure;

  // The request's own pause (an erase, a driver start).
  if (wait != 0) Sleep(wait);

  // Read, re-reading after each failure; the request is not sent again.
  uint16_t failedReads = 0;
  int received = 0;
  for (;;) {
    const IspFrameRead read = ReadISPResponse(link, bytes, kFrameStore);
    received = read.length;
    if (received > 0) break;
    if (failedReads > 9) {
      std::printf("Unable to send command. Exit.SendISP\n");
      link.note("ISP request unanswered: given up");
      return read.status == IspFrameRead::Status::kPortFailure ? IspResult::PortFailure
                                                                : IspResult::NoAnswer;
    }
    std::printf("Timeout. Retry...SendISP\n");
    ++failedReads;
  }

  // Decode the frame without "=G" and CR.  Bytes a short answer does not
  // carry read as 0.
  std::memset(frame, 0, sizeof frame);
  const int decodedLength = yDecode(frame, bytes + 2, received - 3);

  // The answer's own length comes from its header; a mismatch is reported
  // and the words are taken as the header counts them.
  words = (frame[1] >> 4) + 3;
  const bool lengthRight = decodedLength == 2 * words && decodedLength > 5;
  if (!lengthRight)
    std::printf("\n%d - %d , Incompatible reception with command.\n", decodedLength, 2 * words);
  for (int k = 0; k < words; ++k)
    response[k] = static_cast<uint16_t>(frame[2 * k] | (frame[2 * k + 1] << 8));
  const bool checksumRight = checksumOK(response);
  if (!checksumRight) std::printf("Bad checksum\n");
  if (wellFormed != nullptr) *wellFormed = lengthRight && checksumRight;

  if (link.tracing()) link.note(ispAnswerNote(msg, response, checksumRight));
  // Accepted unless it is a NACK or an echo of the request's header (the
  // request looped back on the line is no answer).
  if (ispId(response[0]) != kNackId && response[0] != msg[0]) return IspResult::Accepted;

  if (response[2] == kGspiTimeout) std::printf("GSPI Timeout\n");
  if (failedReads > 4) {
    std::printf("\nUnable to send command. Exit.\n");
    printMsg(response);
    return IspResult::Refused;
  }
  std::printf("\nNACK received. Retry ... \n");
  printMsg(msg);
  printMsg(response);
  if (ispId(response[1]) != ispId(msg[0]))
    std::printf("\nNACK on unknown command. 0x%04x != 0x%04x\n",
                static_cast<unsigned>(ispId(response[1])), static_cast<unsigned>(ispId(msg[0])));
  return IspResult::Refused;
}
