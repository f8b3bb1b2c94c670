#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "common/json_writer.h"
#include "support/scratch_dir.h"

namespace {

// Python's json module reads each document (one per line) strictly: the
// line must be valid UTF-8, strings may hold no raw control characters, and
// NaN or Infinity are refused.  For each document it prints the UTF-8 bytes
// in hex of a string value, ascii() of anything else, or "error: ...".
const char kPythonReader[] = R"PY(
import json, sys
def refuse(name):
    raise ValueError("not JSON: " + name)
for line in open(sys.argv[1], "rb").read().split(b"\n")[:-1]:
    try:
        v = json.loads(line.decode("utf-8"), parse_constant=refuse)
        print(v.encode("utf-8", "surrogateescape").hex() if isinstance(v, str) else ascii(v))
    except Exception as e:
        print("error: %s" % e)
)PY";

// What Python makes of each document, or an empty vector without python3.
// Anything else that goes wrong shows as extra or missing lines.
std::vector<std::string> pythonView(const std::vector<std::string>& documents) {
  const testsupport::ScratchDir scratch;
  const std::string base = scratch.file("json_writer");
  std::ofstream(base + ".py") << kPythonReader;
  {
    std::ofstream docs(base + ".txt", std::ios::binary);
    for (const std::string& d : documents) docs << d << '\n';
  }
  std::vector<std::string> lines;
  const std::string command = "python3 '" + base + ".py' '" + base + ".txt' 2>&1";
  if (FILE* p = popen(command.c_str(), "r")) {
    std::string line;
    for (int c; (c = std::fgetc(p)) != EOF;) {
      if (c != '\n') {
        line += static_cast<char>(c);
      } else {
        lines.push_back(line);
        line.clear();
      }
    }
    if (!line.empty()) lines.push_back(line);
    const int status = pclose(p);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127) lines.clear();
  }
  return lines;
}

std::string hexOf(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 0xF];
  }
  return out;
}

template <typename T>
std::string jsonOf(T v) {
  return jsonText(Json(v));
}

struct Case {
  std::string json;    // what the writer wrote
  std::string exact;   // what it must have written
  std::string python;  // what Python reads back (see kPythonReader)
};

// A string: Python must read back `decoded` (by default the input itself).
Case text(std::string_view input, std::string exact, const char* decoded = nullptr) {
  return {jsonOf(input), exact, hexOf(decoded ? std::string_view(decoded) : input)};
}

TEST(JsonText, WritesValidJsonThatReadsBackAsWritten) {
  using namespace std::string_literals;
  const double inf = std::numeric_limits<double>::infinity();
  Json nested = Json::object();
  nested["port"] = "COM3";
  nested["size"] = std::size_t{16384};
  nested["ok"] = true;
  nested["steps"] = Json::array();
  nested["card"] = Json::object();
  Json inner = Json::object();
  inner["k\"\n\xFF"] = -2.5;
  nested["list"] = Json::array({1, Json::array({nullptr, false}), inner});
  nested["failed"] = nullptr;
  Json first = Json::object();
  first["a"] = 1;
  const Json list = Json::array({first, Json::object(), "z"});

  const Case cases[] = {
      text("", R"("")"),
      text(R"(say "hi" \ bye / ok)", R"("say \"hi\" \\ bye / ok")"),
      text("\b\f\n\r\t", R"("\b\f\n\r\t")"),
      text("a\0b\x01\x1f\x7f"s, R"("a\u0000b\u0001\u001f\u007f")"),
      // Well-formed UTF-8 passes through: 2, 3 and 4 bytes, U+FFFF, U+10FFFF.
      text("\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xEF\xBF\xBF \xF4\x8F\xBF\xBF",
           "\"\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xEF\xBF\xBF \xF4\x8F\xBF\xBF\""),
      // Each stray byte is kept as \udcXX, and reads back as that byte:
      // Latin-1, a lone continuation, 0xFF, overlong forms, a surrogate,
      // past U+10FFFF, a sequence cut short.
      text("caf\xE9", R"("caf\udce9")"),
      text("\x80\xFF", R"("\udc80\udcff")"),
      text("\xC0\xAF\xE0\x80\xAF", R"("\udcc0\udcaf\udce0\udc80\udcaf")"),
      text("\xED\xA0\x80", R"("\udced\udca0\udc80")"),
      text("\xF4\x90\x80\x80", R"("\udcf4\udc90\udc80\udc80")"),
      text("\xE2\x82" "A\xE2\x82", R"("\udce2\udc82A\udce2\udc82")"),
      {jsonOf("true"), "\"true\"", hexOf("true")},  // a literal is text, not a bool
      {jsonOf(0), "0", "0"},
      {jsonOf(-1L), "-1", "-1"},
      {jsonOf(std::numeric_limits<int64_t>::min()), "-9223372036854775808",
       "-9223372036854775808"},
      {jsonOf(std::numeric_limits<uint64_t>::max()), "18446744073709551615",
       "18446744073709551615"},
      {jsonOf(0.1), "0.1", "0.1"},
      {jsonOf(28.0), "28.0", "28.0"},
      {jsonOf(-0.0), "-0.0", "-0.0"},
      {jsonOf(100000.0), "1e+05", "100000.0"},
      {jsonOf(1.5e-7), "1.5e-07", "1.5e-07"},
      {jsonOf(1e300), "1e+300", "1e+300"},
      {jsonOf(5e-324), "5e-324", "5e-324"},
      {jsonOf(1.0 / 3), "0.3333333333333333", "0.3333333333333333"},
      {jsonOf(std::nan("")), "null", "None"},
      {jsonOf(inf), "null", "None"},
      {jsonOf(-inf), "null", "None"},
      {jsonOf(true), "true", "True"},
      {jsonText(nested),
       R"({"port":"COM3","size":16384,"ok":true,"steps":[],"card":{},)"
       R"("list":[1,[null,false],{"k\"\n\udcff":-2.5}],"failed":null})",
       R"({'port': 'COM3', 'size': 16384, 'ok': True, 'steps': [], 'card': {}, )"
       R"('list': [1, [None, False], {'k"\n\udcff': -2.5}], 'failed': None})"},
      {jsonText(list), R"([{"a":1},{},"z"])", "[{'a': 1}, {}, 'z']"},
  };
  std::vector<std::string> documents;
  for (const Case& c : cases) {
    EXPECT_EQ(c.json, c.exact);
    documents.push_back(c.json);
  }
  const std::vector<std::string> seen = pythonView(documents);
  if (seen.empty()) GTEST_SKIP() << "python3 is not available";
  ASSERT_EQ(seen.size(), documents.size());
  for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], cases[i].python) << documents[i];
}

}  // namespace
