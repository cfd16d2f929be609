// The forwarding-frame grammar: what the parser takes from the front of the
// received bytes in each mode, the fronts that can never become a frame, the
// receive buffer fed whole and one byte at a time, and the client's frames.
#include "frames/frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "frames/pending.h"

namespace vostrelin::frames {
namespace {

using namespace std::string_literals;

std::string describe(const ServerMessage& m) {
  struct {
    std::string operator()(const Open& o) { return "Open(" + o.id + ")"; }
    std::string operator()(const Close& c) { return "Close(" + c.id + ")"; }
    std::string operator()(const Data& d) { return "Data(" + d.id + "|" + quote_front(d.payload, 1000) + ")"; }
    std::string operator()(const Ping&) { return "Ping"; }
    std::string operator()(const Pong&) { return "Pong"; }
    std::string operator()(const Error& e) { return "Error(" + e.text + ")"; }
  } visitor;
  return std::visit(visitor, m);
}

std::string describe(const FrontScan& scan) {
  if (const Parsed* p = std::get_if<Parsed>(&scan)) return describe(p->message) + " #" + std::to_string(p->count);
  if (const NeedMore* n = std::get_if<NeedMore>(&scan)) {
    return n->needed ? "NeedMore(" + std::to_string(*n->needed) + ")" : "NeedMore";
  }
  return "Malformed";
}

FrontScan frame(ServerMessage m, size_t count) { return Parsed{std::move(m), count}; }
const FrontScan MORE = NeedMore{};
const FrontScan BAD = Malformed{};

struct Case {
  const char* name;
  FrameTags tags;
  std::string input;
  FrontScan expected;
};

TEST(TryParse, TableOfFronts) {
  const std::string nines20(20, '9');
  const Case cases[] = {
      // Too short to know anything.
      {"empty", TCP_TAGS, "", MORE},
      {"three bytes", TCP_TAGS, "PIN", MORE},
      {"four bytes of anything", TCP_TAGS, "ABCD", MORE},
      {"PING alone waits for a fifth byte", TCP_TAGS, "PING", MORE},
      {"PONG alone waits for a fifth byte", HTTP_TAGS, "PONG", MORE},
      {"MESG alone", UDP_TAGS, "MESG", MORE},
      // PING and PONG, with or without their dot.
      {"PING with dot", TCP_TAGS, "PING.", frame(Ping{}, 5)},
      {"PING then a data frame", TCP_TAGS, "PINGMESG.7.1.x", frame(Ping{}, 4)},
      {"PONG then another byte", UDP_TAGS, "PONGx", frame(Pong{}, 4)},
      {"PONG with dot", UDP_TAGS, "PONG.", frame(Pong{}, 5)},
      // Data frames.
      {"data, payload incomplete", TCP_TAGS, "MESG.7.5.abc", NeedMore{14}},
      {"data, payload complete", TCP_TAGS, "MESG.7.5.abcde", frame(Data{"7", "abcde"}, 14)},
      {"data, next frame glued on", TCP_TAGS, "MESG.7.5.abcdePING.", frame(Data{"7", "abcde"}, 14)},
      {"data, empty id and payload", UDP_TAGS, "MESG..0.", frame(Data{"", ""}, 8)},
      {"data, plus sign", UDP_TAGS, "MESG.1.+3.abc", frame(Data{"1", "abc"}, 13)},
      {"data, leading zeros", UDP_TAGS, "MESG.1.003.abc", frame(Data{"1", "abc"}, 14)},
      {"data, payload holds dots and zero bytes", UDP_TAGS, "MESG.9.4.a.\0."s, frame(Data{"9", "a.\0."s}, 13)},
      {"data, id without its dot yet", TCP_TAGS, "MESG.abc", MORE},
      {"data, id dot is the last byte", TCP_TAGS, "MESG.abc.", MORE},
      {"data, length still arriving", TCP_TAGS, "MESG.1.12", MORE},
      {"data, plus sign alone so far", TCP_TAGS, "MESG.1.+", MORE},
      {"data, minus sign", TCP_TAGS, "MESG.1.-3.abc", BAD},
      {"data, minus sign before its dot", TCP_TAGS, "MESG.1.-", BAD},
      {"data, empty length", TCP_TAGS, "MESG.1..abc", BAD},
      {"data, two plus signs", TCP_TAGS, "MESG.1.++3.abc", BAD},
      {"data, blank in length", TCP_TAGS, "MESG.1. 3.abc", BAD},
      {"data, 20 nines", TCP_TAGS, "MESG.1." + nines20 + ".x", BAD},
      {"data, 20 nines before their dot", TCP_TAGS, "MESG.1." + nines20, BAD},
      {"data, largest length only waits", TCP_TAGS, "MESG.1.18446744073709551615.x",
       NeedMore{UINT64_MAX}},
      {"data, largest length plus one", TCP_TAGS, "MESG.1.18446744073709551616.x", BAD},
      {"data, long run of zeros is no overflow", TCP_TAGS, "MESG.1." + std::string(40, '0') + "2.ab",
       frame(Data{"1", "ab"}, 51)},
      {"data, invalid UTF-8 id", TCP_TAGS, "MESG.\xff.1.a", frame(Data{"\xEF\xBF\xBD", "a"}, 10)},
      // Open and close frames end where the next frame begins.
      {"TCP open, digits run to the end", TCP_TAGS, "TCPO.12", MORE},
      {"TCP open, ended by the next byte", TCP_TAGS, "TCPO.12X", frame(Open{"12"}, 7)},
      {"TCP open, leading zeros kept", TCP_TAGS, "TCPO.007P", frame(Open{"007"}, 8)},
      {"TCP open, dot after the id is not part of it", TCP_TAGS, "TCPO.12.", frame(Open{"12"}, 7)},
      {"TCP open without digits", TCP_TAGS, "TCPO.x", BAD},
      {"TCP open, nothing after the dot", TCP_TAGS, "TCPO.", MORE},
      {"TCP close", TCP_TAGS, "TCPC.5M", frame(Close{"5"}, 6)},
      {"HTTP open", HTTP_TAGS, "HTPO.42HTPC.42", frame(Open{"42"}, 7)},
      {"HTTP close", HTTP_TAGS, "HTPC.42.", frame(Close{"42"}, 7)},
      // Another mode's tags are skipped like an unknown tag.
      {"TCP open in HTTP mode", HTTP_TAGS, "TCPO.12X", frame(Pong{}, 5)},
      {"HTTP open in TCP mode", TCP_TAGS, "HTPO.1x", frame(Pong{}, 5)},
      {"HTTP open in UDP mode", UDP_TAGS, "HTPO.1x", frame(Pong{}, 5)},
      {"HTTP close in UDP mode", UDP_TAGS, "HTPC.", frame(Pong{}, 5)},
      {"TCP open in UDP mode", UDP_TAGS, "TCPO.", frame(Pong{}, 5)},
      {"TCP close in UDP mode", UDP_TAGS, "TCPC.9", frame(Pong{}, 5)},
      // Errors take the rest of the buffer.
      {"error alone", TCP_TAGS, "ERRR.", frame(Error{""}, 5)},
      {"error then more frames", TCP_TAGS, "ERRR.bad thingPING.MESG..0.", frame(Error{"bad thingPING.MESG..0."}, 27)},
      {"error text is decoded", HTTP_TAGS, "ERRR.\xc3", frame(Error{"\xEF\xBF\xBD"}, 6)},
      {"error text cannot drive the terminal", HTTP_TAGS, "ERRR.\x1b[1A\x1b[2K\rDone: all good",
       frame(Error{"\\x1b[1A\\x1b[2K\\x0dDone: all good"}, 28)},
      {"error text keeps its letters", HTTP_TAGS, "ERRR.Ошибка: нет\tмест\\", frame(Error{"Ошибка: нет\tмест\\"}, 35)},
      {"error tag without dot", TCP_TAGS, "ERRRx", BAD},
      // Anything else.
      {"unknown tag with dot", TCP_TAGS, "ABCD.x", frame(Pong{}, 5)},
      {"tag that only begins like ERRR", TCP_TAGS, "EXYZ.", frame(Pong{}, 5)},
      {"unknown tag without dot", TCP_TAGS, "ABCDx", BAD},
      {"lower-case ping is no ping", TCP_TAGS, "ping.", frame(Pong{}, 5)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(describe(scan_front(c.input, c.tags)), describe(c.expected)) << c.name;
    std::optional<Parsed> parsed = try_parse(c.input, c.tags);
    if (std::holds_alternative<Parsed>(c.expected)) {
      ASSERT_TRUE(parsed) << c.name;
      EXPECT_EQ(*parsed, std::get<Parsed>(c.expected)) << c.name;
    } else {
      EXPECT_FALSE(parsed) << c.name;
    }
    // Grown a byte at a time, a scan that goes on where the last one
    // stopped answers every prefix as a fresh scan does.
    ScanState state;
    for (size_t n = 0; n <= c.input.size(); ++n) {
      std::string_view prefix = std::string_view(c.input).substr(0, n);
      EXPECT_EQ(describe(scan_front(prefix, c.tags, state)), describe(scan_front(prefix, c.tags)))
          << c.name << ", first " << n << " bytes";
    }
  }
}

// Takes every frame Pending yields from `chunks`, appended one after another,
// as the server reader does: it stops after an Error frame, and at the first
// Malformed, which it notes as "!".
std::vector<std::string> frames_of(const std::vector<std::string>& chunks, FrameTags tags,
                                   size_t max = MAX_FRAME_BYTES) {
  Pending pending(tags, max);
  std::vector<std::string> out;
  for (const std::string& chunk : chunks) {
    pending.append(chunk);
    for (;;) {
      FrontScan scan = pending.next();
      if (std::holds_alternative<NeedMore>(scan)) break;
      if (std::holds_alternative<Malformed>(scan)) {
        out.push_back("!");
        return out;
      }
      const ServerMessage& message = std::get<Parsed>(scan).message;
      out.push_back(describe(message));
      if (std::holds_alternative<Error>(message)) return out;
    }
  }
  return out;
}

std::vector<std::string> bytewise(const std::string& s) {
  std::vector<std::string> out;
  for (char c : s) out.emplace_back(1, c);
  return out;
}

struct StreamCase {
  const char* name;
  FrameTags tags;
  std::string stream;
  std::vector<std::string> whole;     // frames when it arrives in one read
  std::vector<std::string> by_bytes;  // frames when it arrives a byte per read
};

TEST(Pending, WholeAndOneByteAtATime) {
  const std::string big(70000, 'z');
  const StreamCase cases[] = {
      {"mixed frames of TCP mode", TCP_TAGS,
       "PING.TCPO.12MESG.12.3.abcPONGTCPC.12PING.MESG..0.",
       {"Ping", "Open(12)", "Data(12|abc)", "Pong", "Close(12)", "Ping", "Data(|)"},
       {"Ping", "Open(12)", "Data(12|abc)", "Pong", "Close(12)", "Ping", "Data(|)"}},
      {"HTTP frames back to back", HTTP_TAGS, "HTPO.1HTPO.2MESG.2.2.hiHTPC.1HTPC.2PONG.",
       {"Open(1)", "Open(2)", "Data(2|hi)", "Close(1)", "Close(2)", "Pong"},
       {"Open(1)", "Open(2)", "Data(2|hi)", "Close(1)", "Close(2)", "Pong"}},
      {"a datagram larger than one read", UDP_TAGS, "MESG.4.70000." + big + "PING.",
       {"Data(4|" + quote_front(big, 1000) + ")", "Ping"},
       {"Data(4|" + quote_front(big, 1000) + ")", "Ping"}},
      {"skipped tags of another mode leave their id as the front", UDP_TAGS, "TCPO.12PING.",
       {"Pong", "!"}, {"Pong", "!"}},
      {"dot after an open id leaves a front that cannot parse", TCP_TAGS, "TCPO.12.PING.",
       {"Open(12)", "!"}, {"Open(12)", "!"}},
      // An error frame takes what has arrived so far, so the reads decide
      // its text.
      {"error after other frames", TCP_TAGS, "PING.MESG.1.1.xERRR.gone PING.",
       {"Ping", "Data(1|x)", "Error(gone PING.)"}, {"Ping", "Data(1|x)", "Error()"}},
  };
  for (const StreamCase& c : cases) {
    EXPECT_EQ(frames_of({c.stream}, c.tags), c.whole) << c.name;
    EXPECT_EQ(frames_of(bytewise(c.stream), c.tags), c.by_bytes) << c.name << " (bytewise)";
  }
}

TEST(Pending, MalformedFrontIsReportedWithWhatArrived) {
  Pending pending(TCP_TAGS);
  pending.append("PING.ABCD-\x1b[2J");
  EXPECT_EQ(describe(pending.next()), "Ping #5");
  FrontScan scan = pending.next();
  ASSERT_TRUE(std::holds_alternative<Malformed>(scan));
  EXPECT_EQ(std::get<Malformed>(scan).reason,
            "Неверный кадр от сервера (после метки нет точки): \"ABCD-\\x1b[2J\"");
  // Nothing is taken: the front stays for whoever looks again.
  EXPECT_EQ(pending.front(), "ABCD-\x1b[2J");
}

TEST(Pending, FramesLongerThanTheLimitEndAtOnce) {
  constexpr size_t MAX = 64;
  struct LimitCase {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<std::string> expected;
  } cases[] = {
      {"a frame of exactly the limit", {"MESG.1.54." + std::string(54, 'a')},
       {"Data(1|" + std::string(54, 'a') + ")"}},
      {"a frame one byte over, announced", {"MESG.1.55."}, {"!"}},
      {"a length far beyond anything", {"MESG.1.18446744073709551615."}, {"!"}},
      {"an id that never ends", {std::string("MESG.") + std::string(40, 'i'), std::string(30, 'i')}, {"!"}},
      {"an open id that never ends", {"TCPO." + std::string(40, '1'), std::string(40, '1')}, {"!"}},
      {"a long id still under the limit waits", {"MESG." + std::string(50, 'i')}, {}},
  };
  for (const LimitCase& c : cases) {
    EXPECT_EQ(frames_of(c.chunks, TCP_TAGS, MAX), c.expected) << c.name;
  }
  Pending pending(TCP_TAGS, MAX);
  pending.append("MESG.1.99.");
  FrontScan scan = pending.next();
  ASSERT_TRUE(std::holds_alternative<Malformed>(scan));
  EXPECT_EQ(std::get<Malformed>(scan).reason, "Кадр от сервера длиннее 64 байт: \"MESG.1.99.\"");
}

// A front that grows a byte per read until the limit ends it (or, for the
// data frame, until it is whole) is looked at about once per byte, not once
// per byte and read.
TEST(Pending, FrontGrownByteByByteIsScannedOnce) {
  constexpr size_t MAX = 64 * 1024;
  struct GrowCase {
    const char* name;
    FrameTags tags;
    std::string start;
    char fill;
    bool ends_whole;  // a frame at the limit, else the limit refuses it
  } cases[] = {
      {"a length field of endless zeros", UDP_TAGS, "MESG.1.", '0', false},
      {"an id that never ends", UDP_TAGS, "MESG.", 'i', false},
      {"a TCP open id of endless digits", TCP_TAGS, "TCPO.", '7', false},
      {"an HTTP close id of endless digits", HTTP_TAGS, "HTPC.", '1', false},
      {"a payload as large as the limit", TCP_TAGS, "MESG.1." + std::to_string(MAX - 13) + ".", 'p', true},
  };
  for (const GrowCase& c : cases) {
    Pending pending(c.tags, MAX);
    pending.append(c.start);
    size_t peak = 0;
    FrontScan scan = pending.next();
    while (std::holds_alternative<NeedMore>(scan) && pending.size() <= MAX) {
      peak = std::max(peak, pending.scanned());
      pending.append(std::string(1, c.fill));
      scan = pending.next();
    }
    EXPECT_EQ(std::holds_alternative<Parsed>(scan), c.ends_whole) << c.name << ": " << describe(scan);
    EXPECT_EQ(std::holds_alternative<Malformed>(scan), !c.ends_whole) << c.name << ": " << describe(scan);
    EXPECT_GT(peak, c.ends_whole ? 0u : MAX / 2) << c.name;
    EXPECT_LE(peak, 2 * MAX) << c.name;
  }
}

// A large frame that arrives in many reads is taken once, whole, and the
// frames behind it follow.
TEST(Pending, LargeFrameOverManyReads) {
  std::string payload(1 << 20, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
  std::string stream = data_frame("big", payload) + "PING." + data_frame("s", "t");
  Pending pending(UDP_TAGS);
  std::vector<ServerMessage> got;
  for (size_t at = 0; at < stream.size(); at += 65536) {
    pending.append(std::string_view(stream).substr(at, 65536));
    while (true) {
      FrontScan scan = pending.next();
      if (!std::holds_alternative<Parsed>(scan)) {
        ASSERT_TRUE(std::holds_alternative<NeedMore>(scan));
        break;
      }
      got.push_back(std::get<Parsed>(std::move(scan)).message);
    }
  }
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(std::get<Data>(got[0]).payload, payload);
  EXPECT_TRUE(std::holds_alternative<Ping>(got[1]));
  EXPECT_EQ(got[2], ServerMessage(Data{"s", "t"}));
  EXPECT_EQ(pending.size(), 0u);
}

TEST(ClientFrames, BytesOnTheWire) {
  EXPECT_EQ(pong_frame(), "PONG");
  EXPECT_EQ(data_frame("7", "abc"), "MESG.7.3.abc");
  EXPECT_EQ(data_frame("", ""), "MESG..0.");
  EXPECT_EQ(data_frame("007", std::string(65535, 'x')).substr(0, 15), "MESG.007.65535.");
  EXPECT_EQ(http_close_frame("12"), "HTPC.12.");
  EXPECT_EQ(tcp_close_frame("12"), "TCPC.12");
  // What the client sends reads back as the same data frame.
  std::string payload = "a.b\0\xff"s;
  EXPECT_EQ(try_parse(data_frame("x", payload), UDP_TAGS), (Parsed{Data{"x", payload}, 14}));
}

TEST(ClientFrames, QuotedFrontCannotDriveTheTerminal) {
  EXPECT_EQ(quote_front("AB\\\x1b\r\n\x7f\xd0\x9f"), "AB\\\\\\x1b\\x0d\\x0a\\x7f\\xd0\\x9f");
  EXPECT_EQ(quote_front(std::string(40, 'a')), std::string(16, 'a'));
}

}  // namespace
}  // namespace vostrelin::frames
