// Art and text files: the file picked, SAUCE removed, pipe codes, escapes
// kept or removed, line ends.
#include "art.h"
#include "door_harness.h"
#include "output.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

std::string sauce(int comments) {
    std::string record = "SAUCE00" + std::string(121, ' ');
    record[104] = static_cast<char>(comments);
    return record;
}

TEST(ArtFile, SauceAndWhatFollowsTheEndMarkAreNotShown) {
    std::string art = "\x1b[1;31mHi\r\n";
    EXPECT_EQ(od::without_sauce(art + "\x1a" + sauce(0)), art);
    std::string comments = "COMNT" + std::string(128, 'c');
    EXPECT_EQ(od::without_sauce(art + "\x1a" + comments + sauce(2)), art);
    EXPECT_EQ(od::without_sauce(art + comments + sauce(2)), art); // no Ctrl-Z before it
    EXPECT_EQ(od::without_sauce(art + "\x1agarbage"), art);
    EXPECT_EQ(od::without_sauce(art), art);
    // A comment count that claims more than is there keeps the bytes before the record.
    EXPECT_EQ(od::without_sauce("ab" + sauce(200)), "ab");
}

std::string render(const std::string& text, bool ansi, int* lines = nullptr) {
    od::Output out(ansi);
    od::TextRenderer renderer(text);
    int n = 0;
    while (renderer.line(out)) ++n;
    if (lines) *lines = n;
    return out.pending();
}

TEST(ArtFile, PipeCodesEscapesAndLineEnds) {
    int lines = 0;
    std::string ansi = render("|12red|17 on blue\nnext\r\nlast", true, &lines);
    EXPECT_EQ(lines, 3);
    Screen screen(5, 40);
    screen.feed(ansi);
    EXPECT_EQ(screen.row(0), "red on blue");
    EXPECT_EQ(screen.row(1), "next");
    EXPECT_EQ(screen.row(2), "last");
    EXPECT_EQ(screen.cell(0, 0).colour, 12);
    EXPECT_EQ(ansi.find("\r\r\n"), std::string::npos); // CR LF stays one line end
    // Without ANSI: no escape byte, colours dropped, text kept; |24 and |x are text.
    std::string plain = render("\x1b[1;33m|14Hi\x1b[0m |24 |x\n", false);
    EXPECT_EQ(plain, "Hi |24 |x\r\n");
}

TEST(ArtFile, ASequenceCutByAControlByteKeepsThatByte) {
    const struct {
        const char* file;
        const char* plain; // what a caller without ANSI gets
        const char* row0;  // an ANSI caller's screen, the door's "z" sent after the file
        const char* row1;
    } table[] = {
        {"a\x1b[1\nb", "a\r\nb", "a", "bz"},
        {"a\x1b[1;\r\nb", "a\r\nb", "a", "bz"},
        {"a\x1b\nb", "a\r\nb", "a", "bz"},
        {"a\x1b[1\x1b[31mb\n", "ab\r\n", "ab", "z"},
        {"a\x1b[2\xc9"
         "b",
         "a\xc9"
         "b",
         "a\u2554bz", ""},               // a CP437 box corner is no final byte
        {"ab\x1b[1;3", "ab", "abz", ""}, // cut by the end of the file
    };
    for (const auto& row : table) {
        SCOPED_TRACE(testing::PrintToString(std::string(row.file)));
        EXPECT_EQ(render(row.file, false), row.plain);
        Screen screen(5, 40);
        screen.feed(render(row.file, true) + "z");
        EXPECT_EQ(screen.row(0), row.row0);
        EXPECT_EQ(screen.row(1), row.row1);
    }
}

TEST(ArtFile, LinesAreCountedInScreenRows) {
    const struct {
        std::string line;
        std::size_t columns;
        int rows; // on 80 columns
    } table[] = {
        {"\n", 0, 1},
        {"abc\r\n", 3, 1},
        {std::string(80, 'x') + "\r\n", 80, 1},
        {std::string(81, 'x') + "\n", 81, 2},
        {std::string(400, 'x') + "\n", 400, 5},
        {"\x1b[1;31m|12" + std::string(80, 'x') + "\x1b[0m|07\n", 80, 1}, // colours take none
        {"long line\rshort\n", 9, 1},
        {"a\tb\n", 9, 1},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(testing::PrintToString(row.line));
        std::string file = row.line + "next\n";
        od::TextRenderer text(file);
        EXPECT_EQ(text.next_line_columns(), row.columns);
        EXPECT_EQ(od::screen_rows(row.columns, 80), row.rows);
    }
    EXPECT_EQ(od::screen_rows(400, 0), 400); // an unknown width counts as one column
}

TEST(ArtFile, TheFileFitsTheCaller) {
    TempDir dir;
    dir.write("menu.ans", "a");
    EXPECT_EQ(od::pick_file(dir.file("menu"), true), dir.file("menu.ans"));
    EXPECT_EQ(od::pick_file(dir.file("menu"), false), dir.file("menu.ans")); // the only one
    dir.write("menu.asc", "b");
    EXPECT_EQ(od::pick_file(dir.file("menu"), false), dir.file("menu.asc"));
    EXPECT_EQ(od::pick_file(dir.file("menu.asc"), true), dir.file("menu.asc"));
    EXPECT_EQ(od::pick_file(dir.file("none"), true), std::nullopt);
    EXPECT_EQ(od::pick_file(dir.path(), true), std::nullopt); // a folder is no file
    // Only the last dot starts an extension; art from DOS keeps its case.
    dir.write("news.v2.asc", "c");
    dir.write("BANNER.ANS", "d");
    dir.write("readme.txt", "e");
    dir.write(".hidden.Asc", "f");
    EXPECT_EQ(od::pick_file(dir.file("news.v2"), true), dir.file("news.v2.asc"));
    EXPECT_EQ(od::pick_file(dir.file("BANNER"), false), dir.file("BANNER.ANS"));
    EXPECT_EQ(od::pick_file(dir.file("BANNER.ans"), true), dir.file("BANNER.ANS"));
    EXPECT_EQ(od::pick_file(dir.file("banner"), true), std::nullopt); // the name's own case stays
    EXPECT_EQ(od::pick_file(dir.file("readme.txt"), true), dir.file("readme.txt"));
    EXPECT_EQ(od::pick_file(dir.file(".hidden"), true), dir.file(".hidden.Asc"));
    // Reading: a FIFO never blocks, and a limit keeps a huge file from memory.
    ASSERT_EQ(::mkfifo(dir.file("pipe.ans").c_str(), 0600), 0);
    EXPECT_EQ(od::read_file(dir.file("pipe.ans")), std::nullopt);
    dir.write("big.asc", std::string(1000, 'x'));
    EXPECT_EQ(od::read_file(dir.file("big.asc"), 10), std::string(10, 'x'));
    EXPECT_EQ(od::read_file(dir.file("big.asc"))->size(), 1000u);
}

} // namespace

// Art needs CSI sequences only: a title, a clipboard write, a terminal's own
// strings and C1 controls never reach the caller.
TEST(ArtFile, StringsAndC1ControlsAreDropped) {
    std::string art = "a\x1b]0;owned\x07"
                      "b\x1b]52;c;cm0gLXJmIH4=\x1b\\"
                      "c\x1bPq#0;2;0;0;0\x1b\\"
                      "d\x1b_apc\x1b\\"
                      "e\x1b^pm\x18"
                      "f\x1bXsos\x1b\\"
                      "g\x9b"
                      "2J\x82\x1b[1mh\n";
    for (const std::string charset : {"", "UTF-8"}) {
        SCOPED_TRACE(charset);
        od::Output out(true, charset);
        od::TextRenderer renderer(art);
        while (renderer.line(out)) {
        }
        std::string sent = out.pending();
        EXPECT_EQ(sent.find("\x1b]"), std::string::npos) << sent;
        EXPECT_EQ(sent.find("\x1bP"), std::string::npos) << sent;
        EXPECT_EQ(sent.find("\x1b_"), std::string::npos) << sent;
        EXPECT_EQ(sent.find("\x1b^"), std::string::npos) << sent;
        EXPECT_EQ(sent.find("\x1bX"), std::string::npos) << sent;
        for (char c : sent)
            EXPECT_FALSE(static_cast<unsigned char>(c) >= 0x80 &&
                         static_cast<unsigned char>(c) < 0xa0 && charset.empty())
                << sent;
        EXPECT_NE(sent.find("\x1b[1m"), std::string::npos) << sent; // CSI stays
        Screen screen(5, 40, charset.empty());
        screen.feed(sent);
        EXPECT_EQ(screen.row(0), charset.empty() ? "abcdefgc2Jeh" : "abcdefg\u00a22J\u00e9h");
    }
}
