#include "parse.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>

namespace {

// Feeds `body` to the reader as its standard input, from a fresh start.
class Reader : public ::testing::Test {
 protected:
  void feed(const std::string &body, const char *divider = "--B") {
    if (input_) fclose(input_);
    input_ = tmpfile();
    fwrite(body.data(), 1, body.size(), input_);
    rewind(input_);
    post_reset(post_.get(), fileno(input_));
    snprintf(post_->sDivider, sizeof post_->sDivider, "%s", divider);
  }
  ~Reader() override {
    if (input_) fclose(input_);
  }
  std::string line(int size = 1024) {
    char buf[1024];
    int n = get_line_from_post(post_.get(), buf, size);
    return std::string(buf, (size_t)n);
  }
  std::string name() {
    char buf[1024];
    get_var_name_from_post(post_.get(), buf, sizeof buf);
    return buf;
  }
  FILE *input_ = nullptr;
  std::unique_ptr<post_reader> post_{new post_reader()};
};

TEST_F(Reader, LinesAreSplitAtTheBufferAndCounted) {
  feed(std::string(2000, 'x') + "\nend");
  EXPECT_EQ(1023u, line().size());
  EXPECT_EQ(978u, line().size());  // 977 bytes and the LF
  EXPECT_EQ("end", line());        // end of input mid-line: what was read
  EXPECT_EQ(1, post_->post_eof);
  EXPECT_EQ("", line());
  EXPECT_EQ(2004, post_->nPostDataCount);
}

TEST_F(Reader, BinaryLinesKeepNulBytes) {
  std::string data("a\0b\r\n", 5);
  feed(data);
  EXPECT_EQ(data, line());
}

TEST_F(Reader, PartNamesAreTakenFromNameAttributes) {
  feed("--B\r\nContent-Disposition: form-data; name=\"reboot.x\"\r\n\r\n1\r\n"
       "--B\r\nContent-Disposition: form-data; name=\"a.b.c\"; filename=\"f\"\r\n\r\n2\r\n"
       "--B--\r\n");
  EXPECT_EQ("reboot.x", name());
  EXPECT_EQ("a.b.c", name());
  EXPECT_EQ("", name());  // the closing boundary
  EXPECT_EQ(1, post_->post_eof);
}

TEST_F(Reader, NameWithoutClosingQuoteRunsToTheLineEnd) {
  feed("name=\"open\r\n");
  EXPECT_EQ("open\r\n", name());
}

TEST_F(Reader, ClosingBoundaryEndsTheBodyEvenWithMoreInput) {
  feed("junk\r\n--B--\r\nname=\"late\"\r\n");
  EXPECT_EQ("", name());
  EXPECT_EQ("", line());  // nothing is read after the closing boundary
}

TEST_F(Reader, ABoundaryLineAloneIsNotTheEnd) {
  feed("--B\r\n");
  EXPECT_EQ("", name());  // end of input instead
}

TEST_F(Reader, ContentTypes) {
  char buf[1024];
  feed("Content-Type: TEXT/HTML\r\n");
  EXPECT_EQ(1, get_content_type(post_.get(), buf, sizeof buf));
  EXPECT_STREQ("TEXT/HTML", buf);
  feed("Content-Type: image/png\r\n");
  EXPECT_EQ(0, get_content_type(post_.get(), buf, sizeof buf));
  feed("Content-Type: application/octet-stream\r\n");
  EXPECT_EQ(0, get_content_type(post_.get(), buf, sizeof buf));
  EXPECT_STREQ("application/octet-stream", buf);
  feed("\r\n");  // no Content-Type line: the header's end line is taken for it
  EXPECT_EQ(1, get_content_type(post_.get(), buf, sizeof buf));
  EXPECT_STREQ("", buf);
  feed("");
  EXPECT_EQ(1, get_content_type(post_.get(), buf, sizeof buf));
}

TEST(LineEnds, TrailingCrLfRemoved) {
  char text[] = "abc\r\n\r";
  remove_trailing_CRLF(text, 6);
  EXPECT_STREQ("abc", text);
  char only[] = "\r\n";
  remove_trailing_CRLF(only, 2);
  EXPECT_STREQ("", only);
}

TEST(LineEnds, HeldTerminatorTakesEachKindOfLineEnd) {
  struct Case {
    std::string line;
    int kept;
    const char *held;
  } cases[] = {{"ab\r\n", 2, "\r\n"}, {"ab\n", 2, "\n"}, {"ab\r", 2, "\r"},
               {"ab", 2, ""},        {"\n", 0, "\n"},   {"", 0, ""}};
  for (const Case &c : cases) {
    char line[16];
    memcpy(line, c.line.data(), c.line.size());
    char held[HELD_TERMINATOR_SIZE] = "";
    int n = (int)c.line.size();
    char *end = remove_CRLF_and_save_buffer(line, &n, held);
    EXPECT_EQ(c.kept, n) << c.line;
    EXPECT_STREQ(c.held, held);
    EXPECT_EQ(held + strlen(held), end);
  }
}

TEST(LineEnds, CrHeldAcrossABufferEdgeJoinsTheFollowingLf) {
  char held[HELD_TERMINATOR_SIZE] = "\r";
  char line[] = "\n";
  int n = 1;
  remove_CRLF_and_save_buffer(line, &n, held);
  EXPECT_EQ(0, n);
  EXPECT_STREQ("\r\n", held);
}

}  // namespace
