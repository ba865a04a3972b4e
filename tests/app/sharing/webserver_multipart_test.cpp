// The upload form's multipart bodies, fed in every possible split: part contents come out exact,
// delimiters split over pieces are still found, and bodies that end early or are malformed end
// the open part as incomplete.
#include "app/sharing/WebMultipart.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Part {
  std::string fileName;
  std::string content;
  bool ended = false;
  bool complete = false;
  bool operator==(const Part &) const = default;
};

void PrintTo(const Part &p, std::ostream *os) {
  *os << "{" << testing::PrintToString(p.fileName) << ", " << testing::PrintToString(p.content)
      << (p.ended ? ", ended" : "") << (p.complete ? ", complete" : "") << "}";
}

struct Recorder {
  std::vector<Part> parts;
  WebMultipartParser::Handler handler() {
    WebMultipartParser::Handler h;
    h.partBegins = [this](const std::string &name) { parts.push_back({name, "", false, false}); };
    h.partData = [this](const uint8_t *data, size_t size) {
      EXPECT_FALSE(parts.empty());
      EXPECT_FALSE(parts.back().ended);
      parts.back().content.append(reinterpret_cast<const char *>(data), size);
    };
    h.partEnds = [this](bool complete) {
      EXPECT_FALSE(parts.back().ended);
      parts.back().ended = true;
      parts.back().complete = complete;
    };
    return h;
  }
};

std::vector<Part> parse(const std::string &body, const std::vector<size_t> &cuts,
                        const std::string &delimiter = "--BOUND") {
  Recorder r;
  WebMultipartParser parser(delimiter, r.handler());
  size_t at = 0;
  for (size_t cut : cuts) {
    parser.feed(std::string_view(body).substr(at, cut - at));
    at = cut;
  }
  parser.feed(std::string_view(body).substr(at));
  parser.finish();
  return r.parts;
}

std::string part(const std::string &name, const std::string &content) {
  return "--BOUND\r\nContent-Disposition: form-data; name=\"f\"; filename=\"" + name +
         "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + content + "\r\n";
}

} // namespace

TEST(WebMultipart, EverySplitGivesTheSameParts) {
  const std::string tricky = "\r\n--BOUN\r\n-\r\n--BOUNXD\r\r\n--\r--BOUND";
  const std::string body = "preamble line\r\n" + part("a.bin", std::string("\0\x01\xff", 3)) +
                           part("b.txt", tricky) + part("", "field value") + part("e", "") +
                           "--BOUND--\r\nepilogue\r\n\r\nmore";
  const std::vector<Part> expected = {{"a.bin", std::string("\0\x01\xff", 3), true, true},
                                      {"b.txt", tricky, true, true},
                                      {"", "field value", true, true},
                                      {"e", "", true, true}};
  EXPECT_EQ(parse(body, {}), expected);
  for (size_t cut = 1; cut < body.size(); ++cut)
    ASSERT_EQ(parse(body, {cut}), expected) << "cut at " << cut;
  std::vector<size_t> everyByte;
  for (size_t i = 1; i < body.size(); ++i)
    everyByte.push_back(i);
  EXPECT_EQ(parse(body, everyByte), expected);
  // Two cuts around each delimiter.
  for (size_t a = 1; a + 3 < body.size(); a += 3)
    ASSERT_EQ(parse(body, {a, a + 3}), expected) << a;
}

TEST(WebMultipart, BodiesThatEndEarlyOrBreakTheRules) {
  // Cut inside the content: the part ends incomplete, with what came.
  auto parts = parse(part("a", "hello") + "--BOU", {});
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_FALSE(parts[0].complete);
  EXPECT_TRUE(parts[0].ended);
  // The closing delimiter is optional for the parts before it; a body that ends after a complete
  // part leaves nothing open.
  parts = parse(part("a", "x") + "--BOUND\r\n", {});
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_TRUE(parts[0].complete);
  // Text after a delimiter on its line is not a delimiter line: the parse stops.
  {
    Recorder r;
    WebMultipartParser parser("--BOUND", r.handler());
    parser.feed(part("a", "x") + "--BOUNDjunk\r\n" + part("b", "y"));
    EXPECT_TRUE(parser.isMalformed());
    ASSERT_EQ(r.parts.size(), 1u);
    EXPECT_TRUE(r.parts[0].complete);
  }
  // Head lines are bounded.
  {
    Recorder r;
    WebMultipartParser parser("--BOUND", r.handler());
    parser.feed("--BOUND\r\nContent-Disposition: form-data; filename=\"" +
                std::string(WebMultipartParser::kMaxLineBytes + 10, 'n'));
    EXPECT_TRUE(parser.isMalformed());
    EXPECT_TRUE(r.parts.empty());
  }
  // Transport padding after a delimiter is allowed; an LF-only head is read.
  parts = parse("--BOUND  \t\r\nContent-Disposition: form-data; filename=z\n\nzz\r\n--BOUND--", {});
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0].fileName, "z");
  EXPECT_EQ(parts[0].content, "zz");
  EXPECT_TRUE(parts[0].complete);
  // Nothing but a preamble.
  EXPECT_TRUE(parse("no parts at all\r\n", {}).empty());
  // An empty delimiter never matches anything.
  Recorder r;
  WebMultipartParser empty("", r.handler());
  empty.feed("--\r\n\r\nx");
  EXPECT_TRUE(empty.isMalformed());
  EXPECT_TRUE(r.parts.empty());
}

TEST(WebMultipart, FileNamesFromTheDisposition) {
  auto name = [](const std::string &line) {
    return WebMultipartParser::fileNameFromDisposition(line);
  };
  EXPECT_EQ(name("Content-Disposition: form-data; name=\"file1\"; filename=\"a b.txt\""),
            "a b.txt");
  EXPECT_EQ(name("content-disposition: form-data; FILENAME=plain.txt; size=3"), "plain.txt");
  EXPECT_EQ(name("Content-Disposition: form-data; filename=\"C:\\Users\\me\\x.doc\""), "x.doc");
  EXPECT_EQ(name("Content-Disposition: form-data; filename=\"../../etc/passwd\""), "passwd");
  EXPECT_EQ(name("Content-Disposition: form-data; filename=\"semi;colon.txt\"; x=1"),
            "semi;colon.txt");
  EXPECT_EQ(name("Content-Disposition: form-data; filename=\"\""), "");
  EXPECT_EQ(name("Content-Disposition: form-data; name=\"field\""), "");
  // A quoted name's blanks are its own: " lead.txt" is not "lead.txt"; blanks alone name nothing.
  EXPECT_EQ(name("Content-Disposition: form-data; filename=\" lead.txt\""), " lead.txt");
  EXPECT_EQ(name("Content-Disposition: form-data; filename=\"trail.txt \"; x=1"), "trail.txt ");
  EXPECT_EQ(name("Content-Disposition: form-data; filename=\"   \""), "");
  EXPECT_EQ(name("Content-Disposition: form-data; filename= plain.txt ;"), "plain.txt");
  EXPECT_EQ(name("Content-Disposition: form-data; filename=\"dir/\""), "");
}
