// The configuration scanner and the compaction built on it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "contract/result.h"
#include "script.h"

namespace {

// The bytes of `text` as the scanner takes them: two NUL bytes after them.
std::string scannable(const std::string &text) { return text + std::string(2, '\0'); }

// The compacted text, or "<22>" when the file is refused.
std::string compact(const std::string &text) {
  std::string in = scannable(text);
  std::string out(text.size(), '\0');
  size_t length = 0;
  int r = compact_config(&in[0], text.size(), &out[0], out.size(), &length);
  if (r != RESULT_OK) return "<" + std::to_string(r) + ">";
  out.resize(length);
  return out;
}

// The tokens of `text` with their bytes.
std::vector<std::pair<int, std::string>> tokens(const std::string &text) {
  std::string in = scannable(text);
  std::vector<std::pair<int, std::string>> out;
  if (script_begin(&in[0], text.size()) != 0) return out;
  for (int t; (t = yylex()) != 0;) out.emplace_back(t, std::string(yytext, (size_t)yyleng));
  script_end();
  return out;
}

TEST(Compaction, KeepsLeafValuesAndDropsLayout) {
  EXPECT_EQ(compact("<config><a>1</a></config>"), "<config><a>1</a></config>");
  EXPECT_EQ(compact("<config>\n  <a x=\"1\">5</a>\n</config>\n"), "<config><a x=\"1\">5</a></config>");
  EXPECT_EQ(compact("<config>\r\n\t<a>5</a>\r\n</config>\r\n"), "<config><a>5</a></config>");
  // Text of a leaf survives, line ends inside it included.
  EXPECT_EQ(compact("<c><a>x\ny\r\nz</a></c>"), "<c><a>x\ny\r\nz</a></c>");
  // Text mixed between child elements does not.
  EXPECT_EQ(compact("<a>x<b>1</b>y</a>"), "<a><b>1</b></a>");
  // A blank line before a start tag keeps a line end but not the name.
  EXPECT_EQ(compact("<c>\n\n<a>5</a></c>"), "<c>\n<a>5</a></c>");
  // The line end in front of an end tag belongs to the tag.
  EXPECT_EQ(compact("<c><a>5\r\n</a></c>"), "<c><a>5</a></c>");
  EXPECT_EQ(compact("<c><a>5\n</a></c>"), "<c><a>5</a></c>");
  // An end tag must name the element opened last, blanks included.
  EXPECT_EQ(compact("<c><a>5</ a></c>"), "<c><a></ a></c>");
  EXPECT_EQ(compact("<c>< a>5</ a></c>"), "<c>< a>5</ a></c>");
}

TEST(Compaction, CopiesInstructionsCommentsAndAttributesAsWritten) {
  EXPECT_EQ(compact("<?XML-VERSION 1.0?>\n<?XML-ENCODING iso-8859-1 ?>\n<c/>"),
            "<?XML-VERSION 1.0?>\n<?XML-ENCODING iso-8859-1 ?>\n<c/>");
  EXPECT_EQ(compact("<c><!-- a - b -->\n<a>1</a></c>"), "<c><!-- a - b -->\n<a>1</a></c>");
  EXPECT_EQ(compact("<c>\n<?XML-ATT n=\"1\"?>\n<a>2</a></c>"), "<c><?XML-ATT n=\"1\"?>\n<a>2</a></c>");
  EXPECT_EQ(compact("<c a='x &#38; &#x2F;'>&#38;</c>"), "<c a='x &#38; &#x2F;'>&#38;</c>");
  // A line end before "/" of an empty element is accepted and dropped.
  EXPECT_EQ(compact("<c><a x=\"1\"\n/></c>"), "<c><a x=\"1\"/></c>");
  EXPECT_EQ(compact("<c><\xe9t\xe9_1.x-y>1</\xe9t\xe9_1.x-y></c>"),
            "<c><\xe9t\xe9_1.x-y>1</\xe9t\xe9_1.x-y></c>");
}

// Long runs of the bytes a file is padded with, or that a token may hold,
// take linear time: each case well under a second (the scanner once went
// back over the token at every NUL, minutes for a padded file).
TEST(Compaction, LongRunsTakeLinearTime) {
  const std::string run(500000, '\n');
  std::string crlf;
  for (int i = 0; i < 200000; ++i) crlf += "\r\n";
  const std::string nuls(200000, '\0');
  const std::string head = "<config>\n  <a x=\"1\">5</a>\n</config>\n";
  const struct {
    std::string file, stored;
  } cases[] = {
      {"<c>" + run + "<a>1</a>" + run + "</c>" + run, "<c>\n<a>1</a></c>"},
      {"<c" + run + "/>" + run, "<c/>"},
      {"<c" + crlf + "/>" + crlf, "<c/>"},
      // Padded with NULs to the request minimum: stored as without them.
      {head + std::string(655360 - head.size(), '\0'), "<config><a x=\"1\">5</a></config>"},
      // NULs are text, value and comment bytes, kept as they are.
      {"<c><a>" + nuls + "</a></c>", "<c><a>" + nuls + "</a></c>"},
      {"<c a=\"" + nuls + "\"/>", "<c a=\"" + nuls + "\"/>"},
      {"<c><!--" + nuls + "--></c>", "<c><!--" + nuls + "--></c>"},
      {"<c>" + nuls + "<a>1</a></c>" + nuls, "<c><a>1</a></c>"},
      // Anywhere else a NUL is refused, at the first one.
      {"<c" + nuls + "/>", "<22>"},
  };
  for (const auto &c : cases) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(compact(c.file) == c.stored) << c.file.size() << " bytes: " << c.file.substr(0, 12);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << c.file.substr(0, 12);
  }
}

TEST(Compaction, RefusesAnythingTheRulesDoNotName) {
  const char *refused[] = {
      "<c>a &amp; b</c>",                 // named entity
      "<c a=\"&amp;\"/>",                 // named entity in a value
      "<c a= \"1\"/>",                    // blank after "="
      "<c a=\"1\" />",                    // blank before "/"
      "<c a=\"1\"\t>",                    // tab before ">"
      "<c><!-- a -- b --></c>",           // "--" inside a comment
      "<c><a:b>1</a:b></c>",              // ":" in a name
      "<c><1a>1</1a></c>",                // name starting with a digit
      "<?XML-VERSION 1.0?>\n  <c/>",      // indentation while inside tags
      "<?xml version=\"1.0\"?><c/>",      // an instruction the rules do not know
      "<c>a<</c>",
  };
  for (const char *text : refused) EXPECT_EQ(compact(text), "<22>") << text;
}

TEST(Scanner, LineEndsAroundText) {
  using T = std::vector<std::pair<int, std::string>>;
  // A lone CR in content is text, also on its own; a CR LF before "<" goes
  // with the tag.
  EXPECT_EQ(tokens(">\r\r&a"), (T{{TOKEN_TAG_END, ">\r"}, {TOKEN_TEXT, "\r"},
                                   {TOKEN_INVALID, "&"}, {TOKEN_TEXT, "a"}}));
  EXPECT_EQ(tokens(">a\r\r\n</"),
            (T{{TOKEN_TAG_END, ">"}, {TOKEN_TEXT, "a\r"}, {TOKEN_END_TAG, "\r\n</"}}));
  EXPECT_EQ(tokens(">a\r\nb<x"),
            (T{{TOKEN_TAG_END, ">"}, {TOKEN_TEXT, "a\r\nb"}, {TOKEN_START_TAG, "<x"}}));
  // A NUL byte is text like any other (the scanner's end marks are NULs too).
  EXPECT_EQ(tokens(std::string(">a\0b<x\0", 7)),
            (T{{TOKEN_TAG_END, ">"}, {TOKEN_TEXT, std::string("a\0b", 3)},
               {TOKEN_START_TAG, "<x"}, {TOKEN_INVALID, std::string(1, '\0')}}));
  // At the end of the input a CR stays text.
  EXPECT_EQ(tokens(">a\r"), (T{{TOKEN_TAG_END, ">"}, {TOKEN_TEXT, "a\r"}}));
  // Inside tags a line end on its own is skipped, a blank is refused.
  EXPECT_EQ(tokens("<a\r\n/ >"), (T{{TOKEN_START_TAG, "<a"}, {TOKEN_SLASH, "/"},
                                    {TOKEN_INVALID, " "}, {TOKEN_TAG_END, ">"}}));
  // Runs of line ends are skipped up to the one that belongs to a tag.
  EXPECT_EQ(tokens(">\n\n\n\n<a"), (T{{TOKEN_TAG_END, ">\n"}, {TOKEN_START_TAG, "\n<a"}}));
  EXPECT_EQ(tokens("<a\n\r\n\r\r\n</"), (T{{TOKEN_START_TAG, "<a"}, {TOKEN_END_TAG, "\r\n</"}}));
  EXPECT_EQ(tokens("<a\n\r\n\n\r<b"), (T{{TOKEN_START_TAG, "<a"}, {TOKEN_START_TAG, "\r<b"}}));
  EXPECT_EQ(tokens(">\n\n\r\n<b"), (T{{TOKEN_TAG_END, ">\n"}, {TOKEN_TEXT, "\n"},
                                        {TOKEN_START_TAG, "\r\n<b"}}));
  // The attribute instruction returns to the state it interrupted.
  EXPECT_EQ(tokens(">\n<?XML-ATT?>x"),
            (T{{TOKEN_TAG_END, ">\n"}, {TOKEN_ATTRIBUTE, "<?XML-ATT"},
               {TOKEN_INSTRUCTION_END, "?>"}, {TOKEN_TEXT, "x"}}));
}

}  // namespace
