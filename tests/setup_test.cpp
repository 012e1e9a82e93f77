// What a sysop installs from: Synchronet's installer file, and the wrapper
// scripts the set-up guide gives for BBSes that pass only a node number.
#include "door_harness.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <set>
#include <sstream>

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string trimmed(std::string text) {
    auto blank = [](unsigned char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.back())) text.pop_back();
    size_t start = 0;
    while (start < text.size() && blank(text[start])) ++start;
    return text.substr(start);
}

// Sections of key = value lines; ';' starts a comment line. A key twice in
// one section, or a line that is neither, fails the test.
using Ini = std::map<std::string, std::map<std::string, std::string>>;

Ini parse_ini(const std::string& path) {
    Ini ini;
    std::istringstream in(read_file(path));
    std::string line, section;
    ini[section];
    while (std::getline(in, line)) {
        line = trimmed(line);
        if (line.empty() || line[0] == ';') continue;
        if (line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            EXPECT_EQ(ini.count(section), 0u) << path << ": [" << section << "] twice";
            ini[section];
            continue;
        }
        auto equals = line.find('=');
        if (equals == std::string::npos) {
            ADD_FAILURE() << path << ": not a key = value line: " << line;
            continue;
        }
        std::string key = trimmed(line.substr(0, equals));
        EXPECT_EQ(ini[section].count(key), 0u) << path << ": " << key << " twice";
        ini[section][key] = trimmed(line.substr(equals + 1));
    }
    return ini;
}

// The file as the tree ships it, and as "cmake --install" writes it for a
// door installed in /usr/bin.
TEST(SynchronetInstall, TheShippedAndTheInstalledFileFollowTheInstallersRules) {
    TempDir dest;
    std::string install = "DESTDIR='" + dest.path() +
                          "' '" CMAKE_PROGRAM "' -DVALEDICT_XTRN_SOURCE='" + XTRN_SOURCE +
                          "' -DVALEDICT_BINDIR=bin -DVALEDICT_DATADIR=share "
                          "-DCMAKE_INSTALL_PREFIX=/usr -P '" XTRN_SCRIPT "' >/dev/null";
    ASSERT_EQ(std::system(install.c_str()), 0) << install;
    std::string installed = dest.path() + "/usr/share/valedict/synchronet/install-xtrn.ini";
    for (const std::string& path : {std::string(XTRN_SOURCE), installed}) {
        SCOPED_TRACE(path);
        Ini ini = parse_ini(path);
        for (const char* key : {"Name", "Desc", "By", "Cats"})
            EXPECT_FALSE(ini[""][key].empty()) << "no " << key;
        std::vector<std::string> programs;
        for (const auto& [name, keys] : ini) {
            if (name.empty()) continue;
            ASSERT_EQ(name.rfind("prog:", 0), 0u) << "an unknown section: " << name;
            programs.push_back(name.substr(5));
        }
        ASSERT_EQ(programs.size(), 1u);
        EXPECT_TRUE(std::regex_match(programs[0], std::regex("[A-Z0-9]{1,8}"))) << programs[0];
        auto& program = ini["prog:" + programs[0]];
        for (const auto& [key, value] : program) {
            static const std::set<std::string> known = {"name", "cmd",         "settings",
                                                        "type", "startup_dir", "note"};
            EXPECT_EQ(known.count(key), 1u) << "a key the installer does not read: " << key;
        }
        EXPECT_FALSE(program["name"].empty());
        EXPECT_LE(program["name"].size(), 40u);
        const std::string& cmd = program["cmd"];
        EXPECT_LE(cmd.size(), 63u) << cmd;
        EXPECT_NE(cmd.find("%f"), std::string::npos) << cmd;
        std::string door = cmd.substr(0, cmd.find(' '));
        EXPECT_EQ(door, path == installed ? "/usr/bin/valedict" : "/usr/local/bin/valedict");
        // The installer evaluates settings and type with Synchronet's
        // exec/load/sbbsdefs.js: only names defined there work (XTRN_STDIO is
        // the C header's alone). A real install of the file wrote
        // settings=16389 type=12: native, standard I/O, several nodes,
        // DOOR32.SYS in the node folder.
        static const std::map<std::string, long> sbbsdefs_js = {{"XTRN_MULTIUSER", 1L << 0},
                                                                {"XTRN_IO_INTS", 1L << 2},
                                                                {"XTRN_NATIVE", 1L << 14},
                                                                {"XTRN_DOOR32", 12}};
        auto value = [&](const std::string& expression) {
            long result = 0;
            std::istringstream names(expression);
            for (std::string name; std::getline(names, name, '|');) {
                name = trimmed(name);
                auto known = sbbsdefs_js.find(name);
                if (known == sbbsdefs_js.end()) {
                    ADD_FAILURE() << "not a name sbbsdefs.js defines: " << name;
                    return -1L;
                }
                result |= known->second;
            }
            return result;
        };
        EXPECT_EQ(value(program["settings"]), 16389) << program["settings"];
        EXPECT_EQ(value(program["type"]), 12) << program["type"];
        // A section of every stock board, so that the installer asks nothing more.
        static const std::set<std::string> stock = {"Main", "Games", "Operator"};
        EXPECT_EQ(stock.count(ini[""]["Cats"]), 1u) << "not a stock section: " << ini[""]["Cats"];
    }
}

// Past 100 characters no Synchronet keeps the whole command: the install
// says the door could not start; at 100 it says only what older boards do.
TEST(SynchronetInstall, ACommandPastAHundredCharactersIsWarnedAbout) {
    for (int length : {100, 101}) {
        SCOPED_TRACE(length);
        TempDir dest;
        std::string bindir = "/" + std::string(length - 13, 'x'); // "/valedict %f" follows
        std::string install =
            "DESTDIR='" + dest.path() + "' '" CMAKE_PROGRAM "' -DVALEDICT_XTRN_SOURCE='" +
            XTRN_SOURCE + "' -DVALEDICT_BINDIR=" + bindir +
            " -DVALEDICT_DATADIR=share -DCMAKE_INSTALL_PREFIX=/usr -P '" XTRN_SCRIPT "' 2>'" +
            dest.file("said") + "' >/dev/null";
        ASSERT_EQ(std::system(install.c_str()), 0) << install;
        std::string said; // cmake wraps its warnings: one line, single spaces
        for (char c : read_file(dest.file("said")))
            if (!std::isspace(static_cast<unsigned char>(c)) ||
                (!said.empty() && said.back() != ' '))
                said += std::isspace(static_cast<unsigned char>(c)) ? ' ' : c;
        EXPECT_EQ(said.find("could not start") != std::string::npos, length == 101) << said;
        EXPECT_EQ(said.find("before 3.20") != std::string::npos, length == 100) << said;
    }
}

// The fenced block after the guide's "<!-- wrapper-test: NAME -->" line.
std::string guide_wrapper(const std::string& name) {
    std::istringstream guide(read_file(SETUP_GUIDE));
    std::string line, block;
    bool armed = false, inside = false;
    while (std::getline(guide, line)) {
        if (line == "<!-- wrapper-test: " + name + " -->") {
            armed = true;
        } else if (armed && line.rfind("```", 0) == 0) {
            if (inside) break;
            inside = true;
        } else if (inside) {
            block += line + "\n";
        }
    }
    return block;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// Each wrapper, as the guide gives it, run as its BBS would run it: from the
// BBS's own folder, with the node number (or, for Mystic, the drop file's
// path). The door reads that node's drop file and works in its own folder.
TEST(SetupGuide, EveryWrapperStartsItsDoorInItsFolder) {
    struct Wrapper {
        std::string bbs, folder, program;
        std::string drop; // where the BBS writes the node's drop file, as real installs do
    };
    const Wrapper wrappers[] = {
        {"envy", "valedict", "/usr/local/bin/valedict", "/opt/envy/tmp/$1/door32.sys"},
        {"magicka", "valedict", "/usr/local/bin/valedict", "/opt/magicka/node$1/door32.sys"},
        {"talisman", "valedict", "/usr/local/bin/valedict", "/opt/talisman/temp/$1/door32.sys"},
        {"mystic", "valedict", "/usr/local/bin/valedict", "$1"},
        {"wwiv", "valedict", "/usr/bin/valedict", "$1"},
        {"tour", "tour", "/opt/bbs/doors/tour/tour_door", "/opt/envy/tmp/$1/door32.sys"},
    };
    for (const Wrapper& w : wrappers) {
        SCOPED_TRACE(w.bbs);
        std::string script = guide_wrapper(w.bbs);
        ASSERT_EQ(script.rfind("#!/bin/sh\n", 0), 0u) << "no wrapper in the guide: " << script;
        std::smatch exec;
        ASSERT_TRUE(std::regex_search(
            script, exec, std::regex("\nexec (/[^ ]+) \"([^\"]*\\$1[^\"]*)\"( [^ \n]+)?\n$")))
            << script;
        EXPECT_EQ(exec[1].str(), w.program);
        EXPECT_EQ(exec[2].str(), w.drop);
        ASSERT_NE(script.find("cd /opt/bbs/doors/" + w.folder + " || exit 1\n"), std::string::npos);

        // The door takes 59 characters of its argument: a long TMPDIR
        // would cut the guide's path to the drop file.
        TempDir root("/tmp");
        bool node = exec[2].str() != "$1";
        std::string drop =
            node ? replaced(replaced(exec[2].str(), "/opt/", root.path() + "/opt/"), "$1", "3")
                 : root.path() + "/opt/bbs/node3/door32.sys";
        std::filesystem::create_directories(std::filesystem::path(drop).parent_path());
        std::ofstream(drop, std::ios::binary) << door32_sys("Node Three", w.bbs + "3");
        std::string folder = root.path() + "/opt/bbs/doors/" + w.folder;
        std::filesystem::create_directories(folder);
        std::filesystem::create_directories(root.path() + "/run");
        script = replaced(script, "/opt/bbs/doors/tour/tour_door", TOUR_DOOR);
        script = replaced(script, "/usr/local/share/doc/libodoors/examples/tour", TOUR_FILES);
        script = replaced(replaced(script, "/opt/", root.path() + "/opt/"),
                          "/usr/local/bin/valedict", door_path());
        script = replaced(script, "exec /usr/bin/valedict ", "exec " + door_path() + " ");
        root.write("wrapper.sh", script);

        DoorOptions options;
        options.program = "/bin/sh";
        options.args = {root.file("wrapper.sh"), node ? "3" : drop};
        options.cwd = root.path() + "/run";
        options.separate_stderr = true;
        options.answers = true; // the tour door asks the terminal its size
        DoorRun door(options);
        if (w.folder == "tour") {
            ASSERT_TRUE(door.wait_for("Sign the guest form")) << door.err << door.screen.all();
            door.type("Q");
            ASSERT_TRUE(door.wait_for("Goodbye, tour3.")) << door.screen.all();
        } else {
            ASSERT_TRUE(door.wait_for("[Y/n]:")) << door.err << door.screen.all();
            door.type("y");
            ASSERT_TRUE(door.wait_for("1:"));
            door.type("from node three\r\r");
            ASSERT_TRUE(door.wait_for("Save these valedicts [Y/n]:"));
            door.type("y");
            ASSERT_TRUE(door.wait_for("Save these valedicts [Y/n]:Yes")) << door.screen.all();
        }
        door.type(" "); // ends a linger the wrapper may ask for
        EXPECT_EQ(door.wait_exit(), 10) << door.err;
        if (w.folder == "valedict") {
            EXPECT_EQ(read_file(folder + "/valedict.dat"),
                      data_record({"from node three"}, w.bbs + "3"));
        }
        EXPECT_TRUE(std::filesystem::is_empty(root.path() + "/run"));
    }
}

// The guides build in folders of their own: scripts/test builds in build/
// with Ninja, and a folder set up with another generator refuses it.
TEST(SetupGuide, TheGuidesBuildWhereNoScriptDoes) {
    std::filesystem::path top = std::filesystem::path(SETUP_GUIDE).parent_path().parent_path();
    std::set<std::string> used;
    for (const char* script :
         {"scripts/test", "scripts/try", "scripts/install-check", "scripts/picture",
          "scripts/static-checks", "scripts/fuzz", "bench/run"}) {
        std::string text = read_file((top / script).string());
        std::regex folder("(\\$top/|run_suite )(build[A-Za-z0-9_.-]*)");
        for (std::sregex_iterator at(text.begin(), text.end(), folder), end; at != end; ++at)
            used.insert((*at)[2].str());
    }
    ASSERT_EQ(used.count("build"), 1u) << "scripts/test's own folder was not found";
    for (const char* guide : {"docs/setup.md", "docs/writing-doors.md", "README.md"}) {
        std::string text = read_file((top / guide).string());
        std::regex configure("cmake -S [^ ]+ -B ([^ `\n]+)");
        for (std::sregex_iterator at(text.begin(), text.end(), configure), end; at != end; ++at)
            EXPECT_EQ(used.count((*at)[1].str()), 0u) << guide << ": " << (*at)[0].str();
    }
}

// What a command prints on standard output.
std::string output_of(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return out;
    char buf[4096];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, got);
    EXPECT_EQ(::pclose(pipe), 0) << command;
    return out;
}

// A macro runs only at a line's start: one that follows text on its line
// is printed as words and its entry is lost, which mandoc -Tlint misses.
TEST(ManualPages, NoMacroInTheMiddleOfALine) {
    for (const char* page : {"valedict.6", "valedict-sysop.8", "libODoors.3"}) {
        std::istringstream source(read_file(std::string(MAN_PAGES) + "/" + page));
        int number = 0;
        for (std::string line; std::getline(source, line);) {
            ++number;
            if (line.rfind(".\\\"", 0) == 0) continue; // a comment
            static const std::regex inside("[^ \\\\]\\.(It|Sh|Ss|Pp|Bl|El|Bd|Ed) ?");
            EXPECT_FALSE(std::regex_search(line, inside)) << page << ":" << number << ": " << line;
        }
    }
}

// Every text a page quotes shows whole as the page is read: a word the
// formatter takes for a macro of its own (No, Ar, Em...) would vanish.
TEST(ManualPages, EveryQuotedTextShowsWhole) {
    if (std::string(MANDOC_PROGRAM).empty()) GTEST_SKIP() << "no mandoc here to render the pages";
    static const std::map<std::string, std::pair<std::string, std::string>> quotes = {
        {".Dq", {"\"", "\""}}, {".Qq", {"\"", "\""}}, {".Ql", {"`", "'"}}, {".Sq", {"`", "'"}}};
    // Delimiters at either end are set outside the quotes.
    static const std::set<std::string> opening = {"(", "["};
    static const std::set<std::string> closing = {".", ",", ";", ":", ")", "]", "?", "!"};
    // Line breaks may fall anywhere, and a delimiter inside takes no blank.
    auto squeezed = [](std::string text) {
        std::erase_if(text, [](unsigned char c) { return std::isspace(c); });
        return text;
    };
    for (const char* page : {"valedict.6", "valedict-sysop.8", "libODoors.3"}) {
        SCOPED_TRACE(page);
        std::string path = std::string(MAN_PAGES) + "/" + page;
        std::string shown = output_of("'" MANDOC_PROGRAM "' -Tascii '" + path + "'");
        shown = squeezed(std::regex_replace(shown, std::regex(".\b"), "")); // bold, underline
        int checked = 0;
        std::istringstream source(read_file(path));
        for (std::string line; std::getline(source, line);) {
            auto quote = quotes.find(line.substr(0, 3));
            if (quote == quotes.end() || line.size() < 5 || line[3] != ' ') continue;
            std::vector<std::string> words;
            std::istringstream split(line.substr(4));
            for (std::string word; split >> word;) words.push_back(word);
            while (!words.empty() && closing.count(words.back())) words.pop_back();
            while (!words.empty() && opening.count(words.front())) words.erase(words.begin());
            std::string text;
            for (const std::string& word : words) text += word;
            if (!words.empty() && words.front()[0] == '"') std::erase(text, '"'); // one argument
            text = replaced(replaced(text, "\\&", ""), "\\e", "\\");
            std::string whole = quote->second.first + text + quote->second.second;
            EXPECT_NE(shown.find(whole), std::string::npos) << line;
            ++checked;
        }
        EXPECT_GT(checked, 0);
    }
}

// The league's settings, schedule lines and commands as the guide prints
// them, run against a scratch board with the built tool: the tosser and
// the mailer are stand-ins that insist on being told their settings file,
// since from cron or a mailer started in / they find none of their own.
TEST(SetupGuide, TheLeagueLinesRunAsPrinted) {
    std::string guide = read_file(SETUP_GUIDE), line;
    TempDir root;
    std::string board = root.file("doors/valedict"), spool = root.file("spool");
    std::filesystem::create_directories(board);
    std::filesystem::create_directories(spool + "/in");
    std::filesystem::create_directories(spool + "/out/00010065.pnt");
    std::filesystem::create_directories(root.file("bin"));
    std::filesystem::create_symlink(VALEDICT_SYSOP, root.file("bin/valedict-sysop"));
    for (const char* tool : {"crashmail", "hpt"}) {
        root.write(std::string("bin/") + tool,
                   "#!/bin/sh\ncase \"$*\" in\n'SETTINGS /etc/ftn/crashmail.prefs TOSS' | "
                   "'-c /etc/husky/config toss') echo \"$0 $*\" >>" +
                       root.file("tossed") + "; exit 0 ;;\nesac\nexit 1\n");
        ::chmod(root.file(std::string("bin/") + tool).c_str(), 0755);
    }
    auto in_scratch = [&](std::string text) {
        return replaced(replaced(text, "/opt/bbs/doors/valedict", board), "/var/spool/ftn", spool);
    };
    // The section as printed, comments and empty values too.
    size_t at = guide.find("\n    [league]\n");
    ASSERT_NE(at, std::string::npos);
    std::string section;
    for (std::istringstream lines(guide.substr(at + 1)); std::getline(lines, line);) {
        if (line.rfind("    ", 0) != 0) break;
        section += line.substr(4) + "\n";
    }
    root.write("doors/valedict/valedict.ini", in_scratch(section));
    auto run = [&](const std::string& text) {
        std::string command = "cd / && PATH='" + root.file("bin") + ":'\"$PATH\" /bin/sh -c \"" +
                              replaced(in_scratch(text), "\"", "\\\"") + "\" 2>&1";
        return output_of(command); // fails the test unless it exits 0
    };
    std::smatch found;
    ASSERT_TRUE(
        std::regex_search(guide, found, std::regex("\n    \\*/5 \\* \\* \\* \\* ([^\n]+)\n")));
    std::string said = run(found[1].str());
    EXPECT_NE(said.find("0 packet(s)"), std::string::npos) << found[1] << ": " << said;
    ASSERT_TRUE(
        std::regex_search(guide, found, std::regex("\n    exec \"([^\"\n]+)\" \\*\\.pkt\n")));
    said = run(found[1].str());
    EXPECT_NE(said.find("0 packet(s)"), std::string::npos) << found[1] << ": " << said;
    ASSERT_TRUE(std::regex_search(guide, found, std::regex("`(hpt [^`]+)`")));
    said = run("cd /opt/bbs/doors/valedict && " + found[1].str());
    EXPECT_NE(said.find("0 packet(s)"), std::string::npos) << found[1] << ": " << said;
    std::string tossed = read_file(root.file("tossed"));
    EXPECT_EQ(std::count(tossed.begin(), tossed.end(), '\n'), 3) << tossed;
    // Every league command the guide names, by the sysop in the board's folder.
    std::set<std::string> commands;
    std::regex named("(valedict-sysop |`)league ([a-z]+)");
    for (std::sregex_iterator it(guide.begin(), guide.end(), named), end; it != end; ++it)
        commands.insert((*it)[2].str());
    EXPECT_EQ(commands, (std::set<std::string>{"accept", "import", "reject", "status"}));
    for (const std::string& command : commands)
        run("cd /opt/bbs/doors/valedict && valedict-sysop league " + command);
    said = run("cd /opt/bbs/doors/valedict && valedict-sysop league status");
    EXPECT_NE(said.find("league VALEDICT: point 21:1/101.7 of 21:1/101 (Board A)"),
              std::string::npos)
        << said;
    EXPECT_EQ(said.find("last import: none"), std::string::npos) << said;
}

} // namespace
