// What a sysop installs from: Synchronet's installer file, and the wrapper
// scripts the set-up guide gives for BBSes that pass only a node number.
#include "door_harness.h"

#include <algorithm>
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
        // An expression of flag names joined by '|', as the installer evaluates it.
        std::set<std::string> flags;
        std::istringstream settings(program["settings"]);
        for (std::string flag; std::getline(settings, flag, '|');) {
            flag = trimmed(flag);
            EXPECT_TRUE(std::regex_match(flag, std::regex("XTRN_[A-Z0-9_]+"))) << flag;
            flags.insert(flag);
        }
        for (const char* flag : {"XTRN_NATIVE", "XTRN_STDIO", "XTRN_MULTIUSER"})
            EXPECT_EQ(flags.count(flag), 1u) << "settings lack " << flag;
        // The drop file goes in the node folder, as the door reads it there.
        EXPECT_EQ(flags.count("XTRN_TEMP_DIR"), 0u);
        EXPECT_EQ(program["type"], "XTRN_DOOR32");
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
// BBS's own folder with the node number. The door reads that node's drop file
// and saves in the door's folder.
TEST(SetupGuide, EachNodeNumberWrapperStartsTheDoorInItsFolder) {
    for (const std::string bbs : {"envy", "magicka", "talisman"}) {
        SCOPED_TRACE(bbs);
        std::string script = guide_wrapper(bbs);
        ASSERT_EQ(script.rfind("#!/bin/sh\n", 0), 0u) << "no wrapper in the guide: " << script;
        std::smatch exec;
        ASSERT_TRUE(std::regex_search(
            script, exec,
            std::regex("\nexec /usr/local/bin/valedict \"(/opt/[^\"]*\\$1[^\"]*)\"\n$")))
            << script;
        ASSERT_NE(script.find("cd /opt/bbs/doors/valedict || exit 1\n"), std::string::npos);

        // The door takes 59 characters of its argument: a long TMPDIR
        // would cut the guide's path to the drop file.
        TempDir root("/tmp");
        std::string drop =
            replaced(replaced(exec[1].str(), "/opt/", root.path() + "/opt/"), "$1", "3");
        std::filesystem::create_directories(std::filesystem::path(drop).parent_path());
        std::ofstream(drop, std::ios::binary) << door32_sys("Node Three", bbs + "3");
        std::string folder = root.path() + "/opt/bbs/doors/valedict";
        std::filesystem::create_directories(folder);
        std::filesystem::create_directories(root.path() + "/run");
        script = replaced(replaced(script, "/opt/", root.path() + "/opt/"),
                          "/usr/local/bin/valedict", door_path());
        root.write("wrapper.sh", script);

        DoorOptions options;
        options.program = "/bin/sh";
        options.args = {root.file("wrapper.sh"), "3"};
        options.cwd = root.path() + "/run";
        options.separate_stderr = true;
        DoorRun door(options);
        ASSERT_TRUE(door.wait_for("[Y/n]:")) << door.err << door.screen.all();
        door.type("y");
        ASSERT_TRUE(door.wait_for("1:"));
        door.type("from node three\r\r");
        ASSERT_TRUE(door.wait_for("Save these valedicts [Y/n]:"));
        door.type("y");
        ASSERT_TRUE(door.wait_for("Save these valedicts [Y/n]:Yes")) << door.screen.all();
        door.type(" "); // ends a linger the wrapper may ask for
        EXPECT_EQ(door.wait_exit(), 10) << door.err;
        EXPECT_EQ(read_file(folder + "/valedict.dat"), data_record({"from node three"}, bbs + "3"));
        EXPECT_FALSE(std::filesystem::exists(root.path() + "/run/valedict.dat"));
    }
}

} // namespace
