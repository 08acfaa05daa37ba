// The record's reader: RFC 4180 fields, both line ends, lines that cannot be read, older
// and reordered columns, and a file read in pieces.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "platform/console.h"
#include "record/record_reader.h"

namespace {

const char kHeader[] = "time_utc,host,port,board,result,seconds,failed_step,images,bootloader_sha256,serial\r\n";

struct Read {
  std::vector<RecordRow> rows;
  std::vector<std::pair<uint64_t, std::string>> bad;  // line, reason
};

Read read_all(RecordReader* r) {
  Read out;
  RecordRow row{};
  std::string why;
  for (int got; (got = record_next(r, &row, &why)) != 0;) {
    if (got > 0)
      out.rows.push_back(row);
    else
      out.bad.push_back({r->line, why});
  }
  record_close(r);
  return out;
}

// Every field of a row, '|' between them.
std::string row_text(const RecordRow& r) {
  return std::to_string(r.utc) + "|" + r.host + "|" + r.port + "|" + std::to_string(r.board) + "|" + r.result + "|" +
         std::to_string(r.tenths) + "|" + r.failed_step + "|" + r.images + "|" + r.bootloader_sha256 + "|" + r.serial;
}

Read read_text(const std::string& text) {
  RecordReader r;
  EXPECT_TRUE(record_open_text(&r, "t.csv", text));
  return read_all(&r);
}

TEST(RecordReader, FieldsAndLineEnds) {
  Read got = read_text(std::string(kHeader) +
                       "2026-12-07T23:59:59Z,pc1,\"COM3, left\",7,failed,41.5,\"say \"\"hi\"\"\r\nagain\","
                       "\"a.bin@0xf00000,5,ab\",cd,SN-9\n"
                       "\r\n"
                       "2024-02-29T00:00:00Z,pc1,COM4,8,ok,3,,,,\n");
  ASSERT_EQ(got.rows.size(), 2u);
  EXPECT_TRUE(got.bad.empty());
  EXPECT_EQ(row_text(got.rows[0]),
            "1796687999|pc1|COM3, left|7|failed|415|say \"hi\"\r\nagain|a.bin@0xf00000,5,ab|cd|SN-9");
  EXPECT_EQ(row_text(got.rows[1]), "1709164800|pc1|COM4|8|ok|30||||");
}

TEST(RecordReader, UnreadableLinesAreSkippedWithTheirNumbers) {
  const std::string good = "2026-12-07T10:00:00Z,pc,COM3,1,ok,40.0,,,,\r\n";
  const std::pair<const char*, const char*> cases[] = {
      {"2026-12-07T10:00:00Z,pc,COM3,1,ok,40.0,,,\r\n", "9 fields where the header has 10"},
      {"2026-13-07T10:00:00Z,pc,COM3,1,ok,40.0,,,,\r\n", "unreadable time_utc"},
      {"2026-02-29T10:00:00Z,pc,COM3,1,ok,40.0,,,,\r\n", "unreadable time_utc"},
      {"2026-12-07T10:00:00Z,pc,COM3,-1,ok,40.0,,,,\r\n", "unreadable board"},
      {"2026-12-07T10:00:00Z,pc,COM3,1,okay,40.0,,,,\r\n", "unknown result"},
      {"2026-12-07T10:00:00Z,pc,COM3,1,ok,4x,,,,\r\n", "unreadable seconds"},
      {"2026-12-07T10:00:00Z,pc,\"COM3\"x,1,ok,4,,,,\r\n", "text after a closing quote"},
      {"2026-12-07T10:00:00Z,pc,COM3,1,ok,4,,\"a.bin@0xf0\r\n", "a quote left open"},
  };
  for (const auto& [line, why] : cases) {
    Read got = read_text(std::string(kHeader) + good + line + good + "2026-12-07T10:00:00Z,pc,CO");
    EXPECT_EQ(got.rows.size(), 2u) << line;
    ASSERT_EQ(got.bad.size(), 2u) << line;
    EXPECT_EQ(got.bad[0].first, 3u) << line;
    EXPECT_NE(got.bad[0].second.find(why), std::string::npos) << got.bad[0].second;
    EXPECT_EQ(got.bad[1], std::make_pair(uint64_t{5}, std::string("the last line has no line end: a write cut short")));
  }
  // A quote left open runs to the end: torn, and the line numbers count the lines inside it.
  Read open = read_text(std::string(kHeader) + good + "2026-12-07T10:00:00Z,pc,\"COM3\n\n");
  EXPECT_EQ(open.bad,
            (std::vector<std::pair<uint64_t, std::string>>{{3, "the last line has no line end: a write cut short"}}));
}

TEST(RecordReader, ColumnsByTheirNames) {
  // An older record without serial; a newer one with its columns moved and one more.
  Read older = read_text(
      "time_utc,host,port,board,result,seconds,failed_step,images,bootloader_sha256\n"
      "2026-12-07T10:00:00Z,pc,COM3,1,ok,40.0,,,ab\n");
  ASSERT_EQ(older.rows.size(), 1u);
  EXPECT_EQ(row_text(older.rows[0]), "1796637600|pc|COM3|1|ok|400|||ab|");
  Read moved = read_text(
      "\xEF\xBB\xBFserial,time_utc,host,port,board,result,seconds,failed_step,images,"
      "bootloader_sha256,operator\r\nSN-1,2026-12-07T10:00:00Z,pc,COM3,1,ok,40.0,,,ab,kim\r\n");
  ASSERT_EQ(moved.rows.size(), 1u);
  EXPECT_EQ(row_text(moved.rows[0]), "1796637600|pc|COM3|1|ok|400|||ab|SN-1");

  std::string console;
  con_capture(&console);
  RecordReader r;
  for (const char* text : {"", "time_utc,host,port\r\n", "name,value\r\nx,1\r\n"}) {
    console.clear();
    EXPECT_FALSE(record_open_text(&r, "x.csv", text)) << text;
    EXPECT_EQ(console, "The file x.csv is not a production record: it has no header of ours\r\n");
  }
  con_capture(nullptr);
}

TEST(RecordReader, FileReadInPiecesAndOverlongLine) {
  // Fields of growing length put quotes, doubled quotes and line ends on every side of the
  // reader's buffer ends; one line over the limit in the middle is skipped.
  const char* path = "record_reader_test.csv";
  {
    std::ofstream f(path, std::ios::binary);
    f << kHeader;
    for (int k = 0; k < 3000; ++k) {
      if (k == 1500) f << "2026-12-07T10:00:00Z,pc," << std::string(kRecordLineLimit + 10, 'x') << "\n";
      f << "2026-12-07T10:00:00Z,pc,COM3," << k << ",failed,1.0,\"" << std::string(k % 97, 'q') << "\"\"\r\n\","
        << ",,\r\n";
    }
  }
  RecordReader r;
  ASSERT_TRUE(record_open(&r, path));
  Read got = read_all(&r);
  remove(path);
  ASSERT_EQ(got.rows.size(), 3000u);
  for (int k = 0; k < 3000; ++k) ASSERT_EQ(got.rows[k].failed_step, std::string(k % 97, 'q') + "\"\r\n") << k;
  EXPECT_EQ(got.bad, (std::vector<std::pair<uint64_t, std::string>>{{3002, "a line longer than 1 MiB"}}));
}

}  // namespace
