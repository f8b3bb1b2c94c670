#include "components/xsvf.h"

#include <cstdio>

namespace cardsim {
namespace {

enum : uint8_t {
  XCOMPLETE = 0x00,
  XTDOMASK = 0x01,
  XSIR = 0x02,
  XSDR = 0x03,
  XRUNTEST = 0x04,
  XREPEAT = 0x07,
  XSDRSIZE = 0x08,
  XSDRTDO = 0x09,
  XSETSDRMASKS = 0x0A,
  XSDRINC = 0x0B,
  XSDRB = 0x0C,
  XSDRC = 0x0D,
  XSDRE = 0x0E,
  XSDRTDOB = 0x0F,
  XSDRTDOC = 0x10,
  XSDRTDOE = 0x11,
  XSTATE = 0x12,
  XENDIR = 0x13,
  XENDDR = 0x14,
  XSIR2 = 0x15,
  XCOMMENT = 0x16,
  XWAIT = 0x17,
};

uint32_t be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

std::string hexOf(const uint8_t* p, std::size_t n) {
  std::string s;
  char two[3];
  for (std::size_t i = 0; i < n && i < 8; ++i) {
    std::snprintf(two, sizeof two, "%02X", p[i]);
    s += two;
  }
  if (n > 8) s += "...";
  return s;
}

std::string withNumber(const char* name, unsigned long v, const char* unit = "") {
  char text[80];
  std::snprintf(text, sizeof text, "%s %lu%s", name, v, unit);
  return text;
}

}  // namespace

void XsvfReader::take(const uint8_t* data, std::size_t n) {
  finished_.clear();
  if (state_ != State::Reading || n != need_) {
    malformed("piece of the wrong length");
    return;
  }
  if (atOpcode_) {
    startInstruction(data[0]);
  } else {
    operand(data, n);
  }
}

void XsvfReader::expect(std::size_t n) {
  if (n == 0) {  // an empty operand: nothing to ask for
    operand(nullptr, 0);
    return;
  }
  if (n > kMaxPiece) {
    malformed(withNumber("operand too long:", static_cast<unsigned long>(n), " bytes"));
    return;
  }
  atOpcode_ = false;
  need_ = n;
}

void XsvfReader::done(const std::string& text) {
  ++instructions_;
  finished_ = text;
  atOpcode_ = true;
  need_ = 1;
  step_ = 0;
}

void XsvfReader::malformed(const std::string& why) {
  state_ = State::Malformed;
  error_ = why;
  need_ = 0;
}

void XsvfReader::startInstruction(uint8_t opcode) {
  opcode_ = opcode;
  step_ = 0;
  switch (opcode) {
    case XCOMPLETE:
      ++instructions_;
      finished_ = "XCOMPLETE";
      state_ = State::Complete;
      need_ = 0;
      return;
    case XTDOMASK:
    case XSDR:
    case XSDRB:
    case XSDRC:
    case XSDRE:
      expect(sdrBytes());
      return;
    case XSDRTDO:
    case XSDRTDOB:
    case XSDRTDOC:
    case XSDRTDOE:
    case XSETSDRMASKS:
      expect(2 * sdrBytes());
      return;
    case XSIR:
    case XREPEAT:
    case XSTATE:
    case XENDIR:
    case XENDDR:
    case XCOMMENT:
      expect(1);
      return;
    case XSIR2:
      expect(2);
      return;
    case XRUNTEST:
    case XSDRSIZE:
      expect(4);
      return;
    case XWAIT:
      expect(6);
      return;
    case XSDRINC:
      expect(sdrBytes() + 1);
      return;
    default: {
      char text[48];
      std::snprintf(text, sizeof text, "unknown instruction %02X", opcode);
      malformed(text);
      return;
    }
  }
}

void XsvfReader::operand(const uint8_t* data, std::size_t n) {
  const std::size_t L = sdrBytes();
  switch (opcode_) {
    case XSIR:
    case XSIR2:
      if (step_ == 0) {
        irBits_ = opcode_ == XSIR ? data[0] : (static_cast<uint32_t>(data[0]) << 8) | data[1];
        step_ = 1;
        expect((irBits_ + 7) / 8);
        return;
      }
      done(withNumber(opcode_ == XSIR ? "XSIR" : "XSIR2", irBits_, " bits ") + hexOf(data, n));
      return;
    case XSDRSIZE: {
      const uint32_t bits = be32(data);
      if ((static_cast<uint64_t>(bits) + 7) / 8 * 2 > kMaxPiece) {
        malformed(withNumber("XSDRSIZE too large:", bits));
        return;
      }
      sdrBits_ = bits;
      done(withNumber("XSDRSIZE", bits));
      return;
    }
    case XRUNTEST:
      done(withNumber("XRUNTEST", be32(data)));
      return;
    case XREPEAT:
      done(withNumber("XREPEAT", data[0]));
      return;
    case XSTATE:
      done(withNumber("XSTATE", data[0]));
      return;
    case XENDIR:
      done(withNumber("XENDIR", data[0]));
      return;
    case XENDDR:
      done(withNumber("XENDDR", data[0]));
      return;
    case XWAIT:
      done(withNumber("XWAIT", be32(data + 2), " us"));
      return;
    case XCOMMENT:
      if (data[0] != 0) {
        if (comment_.size() < 200) comment_.push_back(static_cast<char>(data[0]));
        expect(1);
        return;
      }
      done("XCOMMENT \"" + comment_ + "\"");
      comment_.clear();
      return;
    case XTDOMASK:
      done("XTDOMASK " + hexOf(data, n));
      return;
    case XSDR:
    case XSDRB:
    case XSDRC:
    case XSDRE:
      done(withNumber("XSDR", n, " bytes ") + hexOf(data, n));
      return;
    case XSETSDRMASKS:
      dataMask_.assign(data + L, data + 2 * L);
      done(withNumber("XSETSDRMASKS", L, " bytes each"));
      return;
    case XSDRTDO:
    case XSDRTDOB:
    case XSDRTDOC:
    case XSDRTDOE:
      done(withNumber("XSDRTDO", L, " bytes TDI ") + hexOf(data, L) +
           (n > 0 ? " TDO " + hexOf(data + L, L) : std::string()));
      return;
    case XSDRINC:
      if (step_ == 0) {
        std::size_t ones = 0;
        for (uint8_t m : dataMask_)
          for (int bit = 0; bit < 8; ++bit) ones += (m >> bit) & 1u;
        const std::size_t times = data[n - 1];
        step_ = 1;
        expect(times * ((ones + 7) / 8));
        return;
      }
      done(withNumber("XSDRINC", n, " data bytes"));
      return;
    default:
      malformed("operand of an unknown instruction");
      return;
  }
}

}  // namespace cardsim
