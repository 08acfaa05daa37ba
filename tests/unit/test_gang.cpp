// The gang's pure parts: the event stream applied to a slot, the view's text, the
// command line's ports.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../fake_sysfs.h"
#include "gang/gang_args.h"
#include "gang/slot_state.h"
#include "gang/view.h"
#include "platform/console.h"

namespace {

const int64_t kT0 = 1796652239123;  // 2026-12-07T14:03:59.123Z

std::string at(int64_t ms) { return "\"t\":\"" + format_utc_ms(kT0 + ms) + "\""; }
std::string ev(int64_t ms, const std::string& rest) { return "{\"v\":1," + at(ms) + "," + rest + "}\n"; }

TEST(GangEvents, TimesReadAsTheStreamWritesThem) {
  EXPECT_EQ(parse_utc_ms("2026-12-07T14:03:59.123Z"), kT0);
  EXPECT_EQ(parse_utc_ms("1970-01-01T00:00:01.500Z"), 1500);
  EXPECT_EQ(parse_utc_ms("2024-02-29T23:59:59.999Z") + 1, parse_utc_ms("2024-03-01T00:00:00.000Z"));
  for (const char* bad : {"", "2026-12-07T14:03:59Z", "2026-13-07T14:03:59.123Z", "2026-12-07 14:03:59.123Z"})
    EXPECT_EQ(parse_utc_ms(bad), 0) << bad;
}

// Each row feeds its events to a fresh slot and looks at what they leave.
TEST(GangEvents, EachEventMovesTheSlot) {
  const struct {
    const char* what;
    std::string events;
    uint8_t phase;
    std::string activity;  // at 5 s
    int ok, failed;
    std::string notes, last_failure;
  } rows[] = {
      {"run", ev(0, R"("event":"run","port":"3","mode":"loop")"), kSlotWaiting, "waiting for board", 0, 0, "", ""},
      {"board", ev(0, R"("event":"board","board":1)"), kSlotBoard, "board found", 0, 0, "board 1 found|", ""},
      {"a page", ev(1, R"("event":"step","board":1,"step":"erase_page","page":"00F0")"), kSlotBoard, "erase page 00F0",
       0, 0, "", ""},
      {"the EEPROM",
       ev(1, R"("event":"step","board":1,"step":"erase_page","page":"00F0")") +
           ev(2, R"("event":"step","board":1,"step":"erase_eeprom")"),
       kSlotBoard, "erase eeprom", 0, 0, "", ""},
      {"progress",
       ev(1000, R"("event":"step","board":1,"step":"download","file":"app.bin","total":102400,"index":0)") +
           ev(3000, R"("event":"progress","board":1,"file":"app.bin","bytes":43008,"total":102400,"resends":0)"),
       kSlotBoard, "download app.bin 42% 21 KiB/s 0:03 left", 0, 0, "", ""},
      {"a good board",
       ev(0, R"("event":"board","board":1)") +
           ev(9, R"("event":"result","board":1,"ok":true,"seconds":41.25,"failed_step":null)"),
       kSlotWaiting, "waiting for board", 1, 0, "board 1 found|board 1 ok, 41.2 s|", ""},
      {"a failed board",
       ev(0, R"("event":"board","board":1)") +
           ev(9, R"("event":"result","board":1,"ok":false,"seconds":3,"failed_step":"Could not send command")") +
           ev(10, R"("event":"pause","seconds":20)"),
       kSlotPause, "pause 15 s", 0, 1, "board 1 found|board 1 FAILED: Could not send command|",
       "Could not send command"},
      {"the pause ends", ev(0, R"("event":"pause","seconds":20)") + ev(1, R"("event":"pause_end","by":"key")"),
       kSlotWaiting, "waiting for board", 0, 0, "", ""},
      {"a lost port", ev(0, R"("event":"port","state":"lost")"), kSlotStarting, "port lost", 0, 0, "port lost|", ""},
      {"a port back", ev(0, R"("event":"port","state":"lost")") + ev(1, R"("event":"port","state":"back")"),
       kSlotStarting, "starting", 0, 0, "port lost|port back|", ""},
      {"not events",
       "not json\n{\"v\":2,\"event\":\"board\",\"board\":1}\n[1,2]\n{\"v\":1,\"event\":\"board\",\"board\":1,\"t\"" +
           std::string(":\"x\"}\n{\"v\":1,\"event\":\"port\",\"state\":\"gone\"}\n{\"v\":1,\"event\":\"step\",") +
           "\"step\":7}\n",
       kSlotBoard, "", 0, 0, "board 1 found|", ""},
  };
  for (const auto& r : rows) {
    SlotState s;
    GangTotals t;
    std::vector<std::string> notes;
    // Fed in pieces of 7 bytes: lines are put together across reads.
    for (size_t i = 0; i < r.events.size(); i += 7) {
      std::string piece = r.events.substr(i, 7);
      feed_events(&s, &t, piece.data(), piece.size(), kT0, &notes);
    }
    std::string joined;
    for (const std::string& n : notes) joined += n + "|";
    EXPECT_EQ(s.phase, r.phase) << r.what;
    EXPECT_EQ(slot_activity(s, kT0 + 5000), r.activity) << r.what;
    EXPECT_EQ(s.ok, r.ok) << r.what;
    EXPECT_EQ(s.failed, r.failed) << r.what;
    EXPECT_EQ(t.ok + t.failed, r.ok + r.failed) << r.what;
    EXPECT_EQ(joined, r.notes) << r.what;
    EXPECT_EQ(s.last_failure, r.last_failure) << r.what;
    EXPECT_TRUE(s.pending.empty()) << r.what;
  }
}

TEST(GangEvents, TheSlotLineShowsTheBoardsSerialNumberAndWhyItsRunEnded) {
  SlotState s;
  s.port = "3";
  GangTotals t;
  std::vector<std::string> notes;
  const std::string events = ev(0, R"("event":"board","board":1,"serial":"SN-000007")") +
                             ev(1, R"("event":"message","text":"The serial numbers of sn.txt are used up")");
  feed_events(&s, &t, events.data(), events.size(), kT0, &notes);
  s.phase = kSlotStopped;  // its process ended
  s.exit_code = 1;
  const std::string line = view_lines({s}, t, 1, kT0, 200, 10)[0].text;
  EXPECT_NE(line.find("exit 1"), std::string::npos) << line;
  EXPECT_NE(line.find(": The serial numbers of sn.txt are used up"), std::string::npos) << line;
  EXPECT_NE(line.find("serial SN-000007"), std::string::npos) << line;
}

TEST(GangEvents, BoardsAreCountedPerSlotAcrossItsProcesses) {
  SlotState s;
  GangTotals t;
  std::vector<std::string> notes;
  // A slot's new process numbers its boards on from the slot's last board (-i), so the
  // number it gives is the slot's: here after a board 2 that its last process left unfinished.
  auto feed = [&](const std::string& events) { feed_events(&s, &t, events.data(), events.size(), kT0, &notes); };
  feed(ev(0, R"("event":"board","board":1)") + ev(1, R"("event":"result","board":1,"ok":true,"seconds":2)") +
       ev(2, R"("event":"board","board":3)"));
  ASSERT_EQ(notes.size(), 3u);
  EXPECT_EQ(notes[2], "board 3 found");
  EXPECT_EQ(s.last_verdict, -1);  // a new board has begun
  feed(ev(3, R"("event":"end","exit":130,"signal":"SIGINT")"));
  EXPECT_EQ(s.exit_code, 130);
  EXPECT_EQ(s.end_signal, "SIGINT");
  // Boards per hour come from the last ten boards: after a slow first hour, one a minute,
  // each found 2 s before its verdict: 10 boards in 9 minutes and 2 s.
  for (int k = 0; k < 12; ++k) feed(ev(k == 0 ? -3600000 : 60000 * k, R"("event":"result","ok":true,"seconds":2)"));
  EXPECT_EQ(totals_text(t), "total: 13 ok, 0 failed, yield 100.0 %, 66.4 boards/h, mean cycle 2.0 s");
}

// Every input in every life, loop mode and -s: the next life and the action, as two letters
// (lives N R C M W S D; actions - s(tart) i(nterrupt)). Inputs in the order of SlotInput:
// started, start failed, no adapter, adapter found, ended, pause key, moved, restart due, stop.
TEST(GangSlotLife, EveryInputInEveryLife) {
  const char kLives[] = "NRCMWSD";
  const char* const loop[] = {
      "R- W- N- Ns N- N- N- N- D-",  // no adapter
      "R- W- N- R- W- Ci Mi R- Si",  // running
      "R- W- N- C- Ws C- C- C- S-",  // cutting the pause
      "R- W- N- M- Ws M- M- M- S-",  // moving
      "R- W- N- W- W- W- W- Ws D-",  // waiting to restart
      "S- S- S- S- D- S- S- S- S-",  // stopping
      "D- D- D- D- D- D- D- D- D-",  // done
  };
  const char* const single[] = {
      "R- D- N- Ns N- N- N- N- D-", "R- D- N- R- D- R- Mi R- Si", "R- D- N- C- Ws C- C- C- S-",
      "R- D- N- M- Ws M- M- M- S-", "R- D- N- W- W- W- W- Ws D-", "S- S- S- S- D- S- S- S- S-",
      "D- D- D- D- D- D- D- D- D-",
  };
  for (int one = 0; one < 2; ++one) {
    for (uint8_t life = kLifeNoAdapter; life <= kLifeDone; ++life) {
      std::string got;
      for (uint8_t in = kInStarted; in <= kInGangStop; ++in) {
        SlotMove m = slot_transition(life, in, one);
        got += std::string(got.empty() ? "" : " ") + kLives[m.life] + "-si"[m.action];
      }
      EXPECT_EQ(got, (one ? single : loop)[life]) << "life " << kLives[life] << (one ? " -s" : "");
    }
  }
}

SlotState slot(const char* port, uint8_t phase, int ok = 0, int failed = 0, int verdict = -1, const char* failure = "",
               int exit_code = -1) {
  SlotState s;
  s.port = port;
  s.phase = phase;
  s.ok = ok;
  s.failed = failed;
  s.last_verdict = verdict;
  s.last_failure = failure;
  s.exit_code = exit_code;
  return s;
}

TEST(GangView, OneLinePerSlotThenTotalsAndKeys) {
  std::vector<SlotState> slots = {slot("COM3", kSlotBoard, 4),
                                  slot("COM12", kSlotPause, 2, 1, 0, "Could not send command"),
                                  slot("COM4", kSlotWaiting), slot("/dev/ttyUSB0", kSlotStopped, 0, 0, -1, "", 137)};
  slots[0].step = "download";
  slots[0].file = "app.bin";
  slots[0].bytes = 43008;
  slots[0].total = 102400;
  slots[0].step_ms = kT0;
  slots[0].progress_ms = kT0 + 2000;
  slots[1].pause_ms = kT0 - 6000;
  slots[1].pause_seconds = 20;
  slots[2].port_lost = 1;
  slots[3].stopped_ms = kT0 - 2000;
  slots[3].restarts = 1;
  // Three boards side by side, found within a minute, the last verdict 9 minutes after the first find.
  GangTotals t{6, 1, 7 * 40.0, {{kT0 - 540000, kT0 - 60000}, {kT0 - 500000, kT0 - 30000}, {kT0 - 480000, kT0}}};
  std::vector<ViewLine> lines = view_lines(slots, t, 1, kT0, 200, 24);
  const std::vector<std::string> want = {
      " 1 COM3                download app.bin 42% 21 KiB/s 0:03 left      ok 4 failed 0",
      " 2 COM12        FAILED pause 14 s                                   ok 2 failed 1  last failure: Could not send "
      "command",
      " 3 COM4                port lost                                    ok 0 failed 0",
      " 4 /dev/ttyUSB0        stopped (exit 137), restart in 3 s           ok 0 failed 0 restarts 1",
      "total: 6 ok, 1 failed, yield 85.7 %, 20.0 boards/h, mean cycle 40.0 s",
      "keys: 1-9 end that slot's pause, Space or Enter every pause, q ends the gang",
  };
  // 60 columns: the same lines, cut, and no more of them.
  std::vector<ViewLine> narrow = view_lines(slots, t, 1, kT0, 60, 24);
  ASSERT_TRUE(lines.size() == want.size() && narrow.size() == want.size()) << lines.size() << " " << narrow.size();
  const int alerts[] = {0, 1, 0, 1, 0, 0};
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(lines[i].text, want[i]) << i;
    EXPECT_EQ(lines[i].alert, alerts[i]) << i;
    EXPECT_EQ(narrow[i].text, want[i].substr(0, 60)) << i;
  }
  EXPECT_EQ(view_lines(slots, t, 0, kT0, 200, 24).back().text, "keys: q ends the gang");
  // Five lines high: two slots, the rest summed up, totals and keys.
  std::vector<ViewLine> low = view_lines(slots, t, 1, kT0, 200, 5);
  ASSERT_EQ(low.size(), 5u);
  EXPECT_EQ(low[1].text, want[1]);
  EXPECT_EQ(low[2].text, "+ 2 more slots");
  EXPECT_EQ(view_lines(slots, t, 1, kT0, 200, 4)[1].text, "+ 3 more slots, 1 FAILED");
}

TEST(GangView, CutsKeepCharactersWhole) {
  EXPECT_EQ(cut_to_width("abc", 5), "abc");
  EXPECT_EQ(cut_to_width("abcdef", 3), "abc");
  EXPECT_EQ(cut_to_width("\xc3\xa4\xc3\xb6\xc3\xbc", 2), "\xc3\xa4\xc3\xb6");
  EXPECT_EQ(cut_to_width(std::string("a\xe2\x82\xac") + "b", 2), "a\xe2\x82\xac");
  EXPECT_EQ(cut_to_width("abc", 0), "");
}

TEST(GangView, FinalTableSaysWhichSlotsFailedAndWhy) {
  std::vector<SlotState> slots = {slot("3", kSlotEnded, 1, 0, 1, "", 0),
                                  slot("4", kSlotEnded, 0, 1, 0, "Could not send command", 1),
                                  slot("5", kSlotEnded, 0, 0, -1, "", 137),
                                  slot("6", kSlotEnded, 1, 0, 1, "", 1)};  // its record could not be written
  GangTotals t{2, 1, 9, {}};
  const std::vector<std::string> want = {
      "slot port     ok failed restarts result",
      "   1 3         1      0        0 ok",
      "   2 4         0      1        0 FAILED: Could not send command",
      "   3 5         0      0        0 FAILED: no verdict (exit 137)",
      "   4 6         1      0        0 FAILED: the board is ok, its process ended with exit 1",
      "total: 2 ok, 1 failed, yield 66.7 %, mean cycle 3.0 s",
  };
  EXPECT_EQ(final_table(slots, t, 1), want);
  const int succeeded[] = {1, 0, 0, 0};
  for (size_t i = 0; i < slots.size(); ++i) EXPECT_EQ(slot_succeeded(slots[i]), succeeded[i]) << i;
  // In the loop the table gives the last failure instead of a verdict.
  EXPECT_EQ(final_table(slots, t, 0)[2], "   2 4         0      1        0 FAILED: Could not send command");
  EXPECT_EQ(final_table(slots, t, 0)[3], "   3 5         0      0        0");
}

TEST(GangArgs, PortsAndTheChildsCommandLine) {
  std::vector<std::string> ports;
  EXPECT_TRUE(split_ports("3,COM12,/dev/ttyUSB0", &ports));
  EXPECT_EQ(ports, (std::vector<std::string>{"3", "COM12", "/dev/ttyUSB0"}));
  for (const char* bad : {"", ",", "3,", ",3", "3,,4"}) EXPECT_FALSE(split_ports(bad, &ports)) << bad;

  GangArgs a;
  a.args = {"-s", "-lline.csv", "3,4", "boot.sdb", "app.bin", "0xf00000"};
  a.ports = {"3", "4"};
  a.ports_at = 2;
  EXPECT_EQ(slot_command(a, "/opt/vorlaloader", 1, "/tmp/x/slot2-1", 3),
            (std::vector<std::string>{"/opt/vorlaloader", "-j/tmp/x/slot2-1", "-i3", "-s", "-lline.csv", "4",
                                      "boot.sdb", "app.bin", "0xf00000"}));
}

TEST(GangArgs, RefusedBeforeAnyFileIsLookedAt) {
  // A link to a device and the device are one port.
  FakeTrees t;  // a folder of its own, removed at the end
  const std::string node = (t.root / "ttyUSB0").string(), link = (t.root / "by-path-1").string();
  t.put("ttyUSB0", "");
  t.link(node, "by-path-1");
  const std::string twice = ": each slot needs a port of its own\r\n", both = node + "," + link;
  t.put("fixture.txt", "3\n4  left\nbadport  # typo\n");
  const std::string fixture = (t.root / "fixture.txt").string(), from_file = "-F" + fixture;
  const struct {
    std::vector<const char*> argv;
    std::string said;
  } rows[] = {
      {{"-f", "3,4", "boot.sdb"}, "vorla-gang writes no compound file: -f and -o are vorlaloader's alone\r\n"},
      {{"-i7", "3,4", "boot.sdb"}, "vorla-gang numbers every slot's boards itself: -i is vorlaloader's alone\r\n"},
      {{"3,COM3", "boot.sdb"}, "The port COM3 is named twice (slots 1 and 2)" + twice},
      {{"-s", "5,/dev/ttyS3,4", "boot.sdb"}, "The port 4 is named twice (slots 2 and 3)" + twice},
      {{"COM3,/dev/ttyS2", "boot.sdb"}, "The port /dev/ttyS2 is named twice (slots 1 and 2)" + twice},
      {{"3,@9-9:1.0,COM3", "boot.sdb"}, "The slots 1 and 3 are one port: COM3\r\n"},  // an empty socket between
      {{both.c_str(), "boot.sdb"}, "The port " + link + " is named twice (slots 1 and 2)" + twice},
      {{"3,12", "boot.sdb"}, "Slot 2 (12): Wrong serial port number\r\n"},
      {{from_file.c_str(), "boot.sdb"}, "Slot 3 (" + fixture + " line 3, badport): Wrong serial port number\r\n"},
      {{"3,,4", "boot.sdb"}, "Wrong list of ports:3,,4 (give the ports separated by commas, such as 3,4,5)\r\n"},
      {{"3,4", "/nonexistent/boot.sdb"}, "No Vorla Loader bin file:/nonexistent/boot.sdb doesn't exist\r\n"},
  };
  for (const auto& r : rows) {
    std::vector<const char*> argv = {"vorla-gang"};
    argv.insert(argv.end(), r.argv.begin(), r.argv.end());
    std::string said;
    con_capture(&said);
    GangArgs a;
    EXPECT_EQ(gang_args_read(static_cast<int>(argv.size()), argv.data(), &a), 0) << r.said;
    con_capture(nullptr);
    EXPECT_EQ(said, r.said);
  }
}

}  // namespace
