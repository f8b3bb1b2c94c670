#include "isp/isp_transaction.h"

#include <cstdio>
#include <cstring>

#include "common/ticks.h"
#include "isp/isp_message.h"
#include "isp/line_encoding.h"
#include "link/serial_port.h"

namespace {

constexpr DWORD kAnswerDeadlineMs = 3000;
constexpr DWORD kStalledWriteMs = 3000;
// A frame store never needs more: the receiver stops reading once 255 bytes
// are stored, and one read brings at most 50 more.
constexpr int kFrameStore = 305;

// Writes the whole frame.  A failed write ends the exchange; so does a
// port that takes no byte at all for a few seconds (a write time-out
// returns success with what it moved, so a peer that stops reading would
// otherwise keep this loop going for ever).
bool writeFrame(const unsigned char* frame, int length) {
  int offset = 0;
  DWORD stalledSince = GetTickCount();
  while (offset != length) {
    DWORD written = 0;
    lrc = WriteFile(lport, frame + offset, static_cast<DWORD>(length - offset), &written, nullptr);
    lnumbytes = written;
    if (!lrc) return false;
    offset += static_cast<int>(written);
    if (written > 0) {
      stalledSince = GetTickCount();
    } else if (tickPassed(GetTickCount(), stalledSince + kStalledWriteMs)) {
      return false;
    }
  }
  return true;
}

}  // namespace

void drainIspInput(DWORD limitMs) {
  unsigned char tempMsg[1024];
  const DWORD limit = deadlineIn(limitMs);
  DWORD got = 0;
  do {
    got = 0;
    if (!ReadFile(lport, tempMsg, sizeof tempMsg, &got, nullptr)) got = 0;
  } while (got > 0 && !deadlinePassed(limit));
}

int ReadISPResponse(unsigned char* tempMsg, int capacity) {
  unsigned char recMsg[55];
  int i = 0;
  int state = 0;
  bool complete = false;
  bool error = false;
  const DWORD deadline = deadlineIn(kAnswerDeadlineMs);

  while (!complete && !error && i <= 254) {
    DWORD got = 0;
    if (!ReadFile(lport, recMsg, 50, &got, nullptr)) {
      error = true;
      got = 0;
    }
    if (got > 50) got = 50;
    if (deadlinePassed(deadline)) error = true;

    for (DWORD k = 0; k < got && !complete; ++k) {
      const unsigned char c = recMsg[k];
      switch (state) {
        case 0:  // hunting for the frame start
          if (c == '=') {
            if (i < capacity) tempMsg[i++] = c;
            state = 1;
          }
          break;
        case 1:  // seen '='
          if (c == 'G') {
            if (i < capacity) tempMsg[i++] = c;
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
          tempMsg[i] = c;
          if (c == 'G' && tempMsg[i - 1] == '=') {
            // "=G" never occurs inside an encoded frame: the frame before
            // was cut off and a new one starts here.
            i = 1;
            tempMsg[0] = '=';
            tempMsg[1] = 'G';
          }
          ++i;
          if (c == 0x0D) complete = true;  // the rest of this read is dropped
          break;
      }
    }
  }
  return error ? 0 : i;
}

int sendISPCmd(uint16_t* msg, uint16_t* response, DWORD wait) {
  unsigned char tempMsg[kFrameStore];
  unsigned char msgToSend[kFrameStore];
  uint16_t valRetry = 0;

  // 1-3: checksum, bytes low first, line frame.
  createChecksum(msg);
  int numWords = ispWords(msg[0]);
  for (int k = 0; k < numWords; ++k) {
    tempMsg[2 * k] = static_cast<unsigned char>(msg[k] & 0xFF);
    tempMsg[2 * k + 1] = static_cast<unsigned char>(msg[k] >> 8);
  }
  int nbBytesToSend = yEncode(msgToSend, tempMsg, 2 * numWords);

  // 4: write.
  if (!writeFrame(msgToSend, nbBytesToSend)) return 0;

  // 5: the request's own pause (an erase, a driver start).
  if (wait != 0) Sleep(wait);

  // 6: read, re-reading after each failure; the request is not sent again.
  int received = 0;
  for (;;) {
    received = ReadISPResponse(tempMsg, kFrameStore);
    if (received > 0) break;
    if (valRetry > 9) {
      std::printf("Unable to send command. Exit.SendISP\n");
      return 0;
    }
    std::printf("Timeout. Retry...SendISP\n");
    ++valRetry;
  }

  // 7: decode the frame without "=G" and CR.  Bytes a short answer does not
  // carry read as 0.
  std::memset(msgToSend, 0, sizeof msgToSend);
  nbBytesToSend = yDecode(msgToSend, tempMsg + 2, received - 3);

  // 8-9: the answer's own length, from its header.
  numWords = (msgToSend[1] >> 4) + 3;
  if (nbBytesToSend != 2 * numWords || nbBytesToSend <= 5)
    std::printf("\n%d - %d , Incompatible reception with command.\n", nbBytesToSend,
                2 * numWords);

  // 10-11: the answer's words, then its checksum (reported, not enforced).
  for (int k = 0; k < numWords; ++k)
    response[k] = static_cast<uint16_t>(msgToSend[2 * k] | (msgToSend[2 * k + 1] << 8));
  if (!checksumOK(response)) std::printf("Bad checksum\n");

  // 12: accepted unless it is a NACK or an echo of the request's header.
  if (ispId(response[0]) != kNackId && response[0] != msg[0]) return 1;

  // 13: a refusal; recovery is the caller's.
  if (response[2] == kGspiTimeout) std::printf("GSPI Timeout\n");
  if (valRetry > 4) {
    std::printf("\nUnable to send command. Exit.\n");
    printMsg(response);
    return 0;
  }
  std::printf("\nNACK received. Retry ... \n");
  printMsg(msg);
  printMsg(response);
  if (ispId(response[1]) != ispId(msg[0]))
    std::printf("\nNACK on unknown command. 0x%04x != 0x%04x\n",
                static_cast<unsigned>(ispId(response[1])), static_cast<unsigned>(ispId(msg[0])));
  return 0;
}
