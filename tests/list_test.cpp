// The list and the status line as state machines, with what they write shown
// on a real terminal emulator.
#include "OpenDoor.h"
#include "door_harness.h"
#include "list.h"
#include "output.h"
#include "status.h"

#include <gtest/gtest.h>

namespace {

const std::vector<std::string_view> seven = {"Apple", "banana", "Cherry", "apricot",
                                             "Elder", "Fig",    "Grape"};

std::vector<od::Key> keys_of(const std::string& bytes) {
    od::KeyDecoder decoder;
    std::vector<od::Key> keys;
    for (char b : bytes) decoder.feed(static_cast<unsigned char>(b), keys);
    decoder.give_up(keys); // a lone Escape at the end
    return keys;
}

struct Pick {
    const char* name;
    std::string typed;
    int ended;
    int selected;
    std::vector<std::string> rows; // screen rows 1 to 4: three items, the position
};

void PrintTo(const Pick& p, std::ostream* os) {
    *os << p.name;
}

class ListView : public testing::TestWithParam<Pick> {};

// Three rows of items and the position, 12 columns from column 3, on a
// screen 16 wide.
TEST_P(ListView, MovesTheBarAndEnds) {
    const Pick& p = GetParam();
    od::Output out(true);
    od::ListView view(seven, 1, {2, 3, 4, 12}, {'D', OD_KEY_F1}, {7, 0});
    view.draw(out);
    int ended = 0;
    for (const auto& key : keys_of(p.typed))
        if (!ended) ended = view.apply(key, out);
    EXPECT_EQ(ended, p.ended);
    EXPECT_EQ(view.selected(), p.selected);
    Screen screen(6, 16);
    screen.feed(out.pending());
    for (int r = 0; r < 4; ++r) EXPECT_EQ(screen.row(r + 1), p.rows[r]) << "row " << r + 1;
    int bar = view.selected() - view.item_at(0);
    for (int r = 0; r < 3; ++r)
        EXPECT_EQ(screen.cell(r + 1, 3).colour, r == bar ? 15 : 7) << "row " << r + 1;
    EXPECT_EQ(screen.cell(1 + bar, 13).colour, 15); // the bar's width, not one more
    EXPECT_EQ(screen.cell(1 + bar, 14).colour, 7);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, ListView,
    testing::Values(
        Pick{"Enter", "\r", '\r', 1, {"   Apple", "   banana", "   Cherry", "        2 of 7"}},
        Pick{"Escape", "\x1b\x1b", 27, 1, {"   Apple", "   banana", "   Cherry", "        2 of 7"}},
        Pick{"UpStopsAtTheTop",
             "\x1b[A\x1b[A\x1b[A",
             0,
             0,
             {"   Apple", "   banana", "   Cherry", "        1 of 7"}},
        Pick{"DownScrolls",
             "\x1b[B\x1b[B\x1b[B",
             0,
             4,
             {"   Cherry", "   apricot", "   Elder", "        5 of 7"}},
        Pick{"EndAndHome", "\x1b[F", 0, 6, {"   Elder", "   Fig", "   Grape", "        7 of 7"}},
        Pick{"PgDnByAPage",
             "\x1b[6~\x1b[6~\x1b[5~",
             0,
             3,
             {"   apricot", "   Elder", "   Fig", "        4 of 7"}},
        Pick{"ALetterJumpsToTheNextItemWithIt",
             "a",
             0,
             3,
             {"   banana", "   Cherry", "   apricot", "        4 of 7"}},
        Pick{"AndComesRound", "aa", 0, 0, {"   Apple", "   banana", "   Cherry", "        1 of 7"}},
        Pick{"NoneStartsWithIt",
             "z",
             0,
             1,
             {"   Apple", "   banana", "   Cherry", "        2 of 7"}},
        Pick{"TheDoorsKeyInEitherCase",
             "\x1b[Bd",
             'D',
             2,
             {"   Apple", "   banana", "   Cherry", "        3 of 7"}},
        Pick{"TheDoorsFunctionKey",
             "\x1bOP",
             OD_KEY_F1,
             1,
             {"   Apple", "   banana", "   Cherry", "        2 of 7"}}),
    [](const auto& info) { return info.param.name; });

TEST(ListRegion, KeepsToTheScreenAndOffItsLastColumn) {
    od::Size screen{25, 80};
    auto r = od::list_region(0, 0, 0, 0, screen, 24);
    EXPECT_EQ(std::vector<int>({r.top, r.left, r.rows, r.cols}), std::vector<int>({1, 1, 24, 79}));
    r = od::list_region(20, 70, 10, 40, screen, 24);
    EXPECT_EQ(std::vector<int>({r.top, r.left, r.rows, r.cols}), std::vector<int>({20, 70, 5, 10}));
    r = od::list_region(99, 99, 0, 0, {5, 20}, 5);
    EXPECT_EQ(std::vector<int>({r.top, r.left, r.rows, r.cols}), std::vector<int>({5, 19, 1, 1}));
}

// Pages of three, picked by number; an item wider than the screen is cut.
TEST(ListView, AClaimedHugeScreenCostsBytesForTheTextOnly) {
    // A caller whose probe answer claimed 9999 by 9999: five items must not
    // be padded to 9999 columns on 9998 rows (100 MB).
    std::vector<std::string_view> items = {"one", "two", "three", "four", "five"};
    od::Region region = od::list_region(0, 0, 0, 0, {9999, 9999}, 9999);
    od::ListView view(items, 0, region, {}, {7, 0});
    od::Output out(true);
    view.draw(out);
    EXPECT_LT(out.pending().size(), 200000u);
    out.discard();
    od::Key down{od::Key::Other, 0, OD_KEY_DOWN};
    view.apply(down, out);
    EXPECT_LT(out.pending().size(), 200u); // two rows and the position, not 20000 blanks
    // A number typed moves the bar to that item.
    for (char c : std::string("4"))
        view.apply({od::Key::Char, static_cast<unsigned char>(c), c}, out);
    EXPECT_EQ(view.selected(), 3);
}

TEST(NumberedList, PagesAndPicksByNumber) {
    std::vector<std::string_view> items = seven;
    items[1] = "banana split with three scoops";
    od::Output out(false);
    od::NumberedList list(items, 0, 3, 20, {'D'});
    list.start(out);
    int ended = 0;
    for (const auto& key : keys_of("\r9\r8\b0\r5\r"))
        if (!ended) ended = list.apply(key, out);
    EXPECT_EQ(ended, '\r');
    EXPECT_EQ(list.selected(), 4);
    EXPECT_EQ(out.pending(), "1. Apple\n\r2. banana split wit\n\r3. Cherry\n\r"
                             "Pick 1-7, Enter for more, Q quits: \n\r"
                             "4. apricot\n\r5. Elder\n\r6. Fig\n\r"
                             "Pick 1-7, Enter for more, Q quits: 9\n\rNo such item.\n\r"
                             "Pick 1-7, Enter for more, Q quits: 8\b \b0\n\rNo such item.\n\r"
                             "Pick 1-7, Enter for more, Q quits: 5\n\r");
    for (const auto& [typed, ended_by] : std::vector<std::pair<std::string, int>>{
             {"q", 27}, {"\x1b", 27}, {"d", 'D'}, {"1d\r", '\r'}}) {
        od::Output again(false);
        od::NumberedList other(items, 6, 3, 20, {'D'});
        other.start(again);
        EXPECT_EQ(again.pending().substr(0, 9), "7. Grape\n") << "the page that holds it";
        int end = 0;
        for (const auto& key : keys_of(typed))
            if (!end) end = other.apply(key, again);
        EXPECT_EQ(end, ended_by) << typed;
    }
}

struct Clock {
    od::StatusClock clock;
    std::string row; // on a screen 31 wide
    bool warning;
};

TEST(StatusLine, PutsTheClockAtTheRightAndNeverTheLastColumn) {
    const Clock cases[] = {
        {{"", -1, -1, -1}, " Bulletins   Q quit", false},
        {{"", -1, -1, 3599}, " Bulletins   Q qui 60 min left", false},
        {{"", -1, 42, 42}, " Bulletins   Q 42 seconds left", true},
        {{"", 9, -1, 3000}, "  Press a key within 9 seconds", true},
        {{"Your time is up; back to the BBS.", 9, 1, 1}, "Your time is up; back to the B", true},
    };
    for (const auto& c : cases) {
        bool warning = false;
        std::string words = od::StatusLine::clock_words(c.clock, warning);
        std::string row = od::StatusLine::compose("Bulletins   Q quit", words, 31);
        while (!row.empty() && row.back() == ' ') row.pop_back();
        EXPECT_EQ(row, c.row);
        EXPECT_EQ(warning, c.warning) << c.row;
        EXPECT_LE(od::StatusLine::compose("Bulletins   Q quit", words, 31).size(), 30u);
    }
}

// Text that runs past the screen's foot scrolls the rows above the line;
// the line stays, drawn only when it changes, and goes when released.
TEST(StatusLine, StaysOnTheBottomRowWhileTheRestScrolls) {
    od::Output out(true);
    od::StatusLine status;
    status.set("Tour\x1b[2J");
    od::StatusClock clock;
    clock.seconds_left = 600;
    status.refresh(out, {6, 30}, clock);
    for (int i = 1; i <= 9; ++i) out.text("line " + std::to_string(i) + "\r\n");
    Screen screen(6, 30);
    screen.feed(out.pending());
    EXPECT_EQ(screen.row(5), " Tour?[2J         10 min left");
    EXPECT_EQ(screen.cell(5, 1).colour, 0); // black on cyan
    EXPECT_EQ(screen.row(4), "");
    EXPECT_EQ(screen.row(3), "line 9");
    out.discard();
    status.refresh(out, {6, 30}, clock);
    EXPECT_EQ(out.pending(), ""); // nothing changed
    clock.warn_seconds = 59;
    status.refresh(out, {6, 30}, clock);
    screen.feed(out.pending());
    EXPECT_NE(screen.row(5).find("59 seconds left"), std::string::npos);
    EXPECT_EQ(screen.cell(5, 25).colour, 15);
    EXPECT_EQ(screen.row(3), "line 9"); // the cursor went back where it was
    out.discard();
    status.release(out, true);
    for (int i = 10; i <= 12; ++i) out.text("line " + std::to_string(i) + "\r\n");
    screen.feed(out.pending());
    EXPECT_EQ(screen.row(4), "line 12");
    EXPECT_EQ(screen.row(5), "");
    EXPECT_FALSE(status.active());
}

} // namespace
