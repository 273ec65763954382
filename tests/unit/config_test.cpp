// KOVA.config reading and the module directory fingerprint, through files
// written to a temporary directory.
#include "host/config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "host/fingerprint.h"
#include "host/sha256.h"
#include "parser/module_table.h"

namespace {

namespace fs = std::filesystem;

// 2024-01-02 20:30:40 UTC; listed as hour 29 (9 added, no carry).
constexpr time_t SAMPLE_TIME = 1704227440;

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

void set_mtime(const std::string& path, time_t seconds) {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// The fatal record as the front end receives it.
std::string fatal_record(const std::string& message) {
    const std::string length = std::to_string(message.size());
    return "S148555" + std::string(1, static_cast<char>('0' + length.size())) + length + message;
}

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        kova::config_reset();
        kova::modules_reset();
        char pattern[] = "/tmp/kova_config_test_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        kova::modules_reset();
        kova::config_reset();
        fs::remove_all(dir_);
    }

    std::string write_config(const std::string& text) {
        const std::string path = dir_ + "/KOVA.config";
        write_file(path, text);
        return path;
    }
    void load(const std::string& text) { kova::read_config(write_config(text).c_str()); }

    // Reads the configuration in a child process, which must end through
    // fatal_error with exactly this message.
    void expect_fatal(const std::string& text, const std::string& message) {
        SCOPED_TRACE(text.substr(0, 200));
        const std::string path = write_config(text);
        const std::string out = dir_ + "/stdout" + std::to_string(++fatal_runs_);
        EXPECT_EXIT(
            {
                if (std::freopen(out.c_str(), "wb", stdout) == nullptr) std::_Exit(3);
                kova::read_config(path.c_str());
                std::_Exit(4);
            },
            ::testing::ExitedWithCode(0), "");
        EXPECT_EQ(read_file(out), fatal_record(message));
    }

    std::string dir_;
    int fatal_runs_ = 0;
};

TEST_F(ConfigTest, DefaultsWithoutSettings) {
    load("; nothing here\n# nor here\n\n   \n");
    EXPECT_EQ(kova::g_config.debug_port, "8777");
    EXPECT_TRUE(kova::g_config.variables.empty());
    EXPECT_FALSE(kova::g_config.has_client_list);
    EXPECT_EQ(kova::g_config.time_interval, 0);
    EXPECT_TRUE(kova::g_config.logfile.empty());
    EXPECT_EQ(kova::g_modules.count, 0u);
}

TEST_F(ConfigTest, PlainValues) {
    using Field = std::string kova::HostConfig::*;
    struct Case {
        const char* line;
        Field field;
        const char* expected;
    };
    const Case cases[] = {
        // blanks inside a key stay part of it: LOG FILE is no key
        {"log file = d:/x.log", &kova::HostConfig::logfile, ""},
        {"logfile = d:\\logs\\a.log ; daily", &kova::HostConfig::logfile, "d:\\logs\\a.log"},
        {"logfile = 'd:\\logs\\a;b.log'", &kova::HostConfig::logfile, "d:\\logs\\a;b.log"},
        {"LogFile=\"x # y\"  after the quote", &kova::HostConfig::logfile, "x # y"},
        {"LOGFILE=a.log\rignored", &kova::HostConfig::logfile, "a.log"},
        {"LOGFILE==x", &kova::HostConfig::logfile, "=x"},
        {"#LOGFILE=x", &kova::HostConfig::logfile, ""},
        {";LOGFILE=x", &kova::HostConfig::logfile, ""},
        {"LOGFILE x", &kova::HostConfig::logfile, ""},
        // an odd number of backslashes keeps the quote in the value
        {"token_key = \"a\\\"b\" #", &kova::HostConfig::token_key, "a\\\"b"},
        {"TOKEN_KEY='a\\\\'rest'", &kova::HostConfig::token_key, "a\\\\"},
        {" \tDebug_Port\t=\t9000\t# port", &kova::HostConfig::debug_port, "9000"},
        {"DEBUG_PORT=", &kova::HostConfig::debug_port, ""},
        {"MODULE_DIR = d:\\app\\mods\\ ; modules", &kova::HostConfig::module_dir, "d:/app/mods/"},
    };
    for (const Case& c : cases) {
        kova::config_reset();
        load(std::string(c.line) + "\n");
        EXPECT_EQ(kova::g_config.*c.field, c.expected) << c.line;
    }
}

// VAR, INCLUDE and CLIENT take the raw value after "=", blanks and all.
TEST_F(ConfigTest, RawValues) {
    load("VAR = 'title':'Test' ; not a comment\n"
         "var='n':1\n"
         "INCLUDE = lib.js\n"
         "include=d:\\lib\\b.js\n");
    ASSERT_EQ(kova::g_config.variables.size(), 2u);
    EXPECT_EQ(kova::g_config.variables[0], " 'title':'Test' ; not a comment");
    EXPECT_EQ(kova::g_config.variables[1], "'n':1");
    ASSERT_EQ(kova::g_modules.count, 2u);
    EXPECT_STREQ(kova::module_name(0), " lib.js");
    EXPECT_STREQ(kova::module_name(1), "d:/lib/b.js");
}

TEST_F(ConfigTest, RepeatedKeys) {
    load("LOGFILE=a.log\nVAR='a':1\nLOGFILE=b.log\nVAR='b':2\nCLIENT=1.2.3.4\nclient=5.6.7.8\n");
    EXPECT_EQ(kova::g_config.logfile, "b.log");
    ASSERT_EQ(kova::g_config.variables.size(), 2u);
    EXPECT_EQ(kova::g_config.variables[1], "'b':2");
    EXPECT_EQ(kova::g_config.clients, (std::vector<uint32_t>{0x01020304, 0x05060708}));
}

TEST_F(ConfigTest, ClientAddresses) {
    load("CLIENT=192.168.1.10, 10.0.2.3\n");
    EXPECT_TRUE(kova::g_config.has_client_list);
    EXPECT_EQ(kova::g_config.clients, (std::vector<uint32_t>{0xC0A8010A, 0x0A000203}));

    // an address that ends the line, and an empty list that is still a list
    kova::config_reset();
    load("CLIENT=x255.0.0.1\nCLIENT=\n");
    EXPECT_TRUE(kova::g_config.has_client_list);
    EXPECT_EQ(kova::g_config.clients, (std::vector<uint32_t>{0xFF000001}));
}

TEST_F(ConfigTest, BadClientAddressIsFatal) {
    for (const char* line : {"CLIENT=192.168.1.300", "CLIENT=10.0.2", "CLIENT=1.2.3.4.5", "CLIENT=1.2..3.4",
                             "CLIENT=99999999999999999999.1.1.1"}) {
        expect_fatal(std::string(line) + "\n", "ClientのIPアドレス定義　不正");
    }
}

TEST_F(ConfigTest, TimeInterval) {
    struct Case {
        const char* line;
        int32_t expected;
    };
    const Case cases[] = {
        {"TIME_INTERVAL=30", 30},       {"time_interval = +7 ; seconds", 7},
        {"TIME_INTERVAL=-5", -5},       {"TIME_INTERVAL=", 0},
        {"TIME_INTERVAL='  12'", 12},   {"TIME_INTERVAL=2147483647", 2147483647},
        {"TIME_INTERVAL=-2147483648", -2147483647 - 1},
    };
    for (const Case& c : cases) {
        kova::config_reset();
        load(std::string(c.line) + "\n");
        EXPECT_EQ(kova::g_config.time_interval, c.expected) << c.line;
    }
}

TEST_F(ConfigTest, BadTimeIntervalIsFatal) {
    for (const char* line : {"TIME_INTERVAL=30s", "TIME_INTERVAL=1 2", "TIME_INTERVAL=-", "TIME_INTERVAL=2147483648",
                             "TIME_INTERVAL=-2147483649", "TIME_INTERVAL=99999999999999999999999"}) {
        expect_fatal(std::string(line) + "\n", "configファイルのTIME_INTERVALは整数を設定してください。");
    }
}

TEST_F(ConfigTest, TokenSigning) {
    using kova::TokenSigning;
    struct Case {
        const char* lines;
        TokenSigning expected;
    };
    const Case cases[] = {
        {"", TokenSigning::HMAC_SHA256},
        {"TOKEN_SIGNING=\n", TokenSigning::HMAC_SHA256},
        {"token_signing = Legacy ; shared with the old sign-in\n", TokenSigning::LEGACY},
        {"TOKEN_SIGNING='LEGACY'\n", TokenSigning::LEGACY},
        {"TOKEN_SIGNING=legacy\nTOKEN_SIGNING=HMAC-sha256\n", TokenSigning::HMAC_SHA256},
        {"TOKEN_SIGNING=legacy\nTOKEN_SIGNING=\n", TokenSigning::HMAC_SHA256},
    };
    for (const Case& c : cases) {
        kova::config_reset();
        load(c.lines);
        EXPECT_EQ(kova::g_config.token_signing, c.expected) << c.lines;
    }
    for (const char* line : {"TOKEN_SIGNING=sha256", "TOKEN_SIGNING=hmac", "TOKEN_SIGNING=legacy2",
                             "TOKEN_SIGNING=\"hmac-sha256 \""}) {
        expect_fatal(std::string(line) + "\n", "configファイルのTOKEN_SIGNINGはhmac-sha256かlegacyを設定してください。");
    }
}

TEST_F(ConfigTest, UnclosedQuoteIsFatal) {
    for (const char* line : {"LOGFILE='abc", "TOKEN_KEY=\"ab\\\"", "UNKNOWN_KEY=\"x"}) {
        expect_fatal(std::string(line) + "\n", "Configのフォーマット不正");
    }
}

TEST_F(ConfigTest, EnvironmentLines) {
    const char* name = "KOVA_CONFIG_TEST_LIST";
    struct Case {
        const char* before;  // null: unset
        const char* line;
        const char* expected;
    };
    const Case cases[] = {
        {" X ", "ENV=KOVA_CONFIG_TEST_LIST+=D:\\pg\\bin", "X:D:\\pg\\bin"},
        {nullptr, "ENV=KOVA_CONFIG_TEST_LIST+=D:\\pg\\bin", "D:\\pg\\bin"},
        {"", "ENV=KOVA_CONFIG_TEST_LIST+= /opt/a ", "/opt/a"},
        {"/usr/lib", "env = KOVA_CONFIG_TEST_LIST += /opt/a ; comment", "/usr/lib:/opt/a"},
        {"old", "ENV=KOVA_CONFIG_TEST_LIST=new value # comment", "new value"},
        {nullptr, "ENV=KOVA_CONFIG_TEST_LIST+=a\nENV=KOVA_CONFIG_TEST_LIST+=b", "a:b"},
    };
    for (const Case& c : cases) {
        if (c.before != nullptr) {
            ::setenv(name, c.before, 1);
        } else {
            ::unsetenv(name);
        }
        load(std::string(c.line) + "\n");
        const char* value = std::getenv(name);
        ASSERT_NE(value, nullptr) << c.line;
        EXPECT_STREQ(value, c.expected) << c.line;
    }
    ::unsetenv(name);
}

TEST_F(ConfigTest, LimitsCut) {
    load("LOGFILE=" + std::string(300, 'l') + "\nTOKEN_KEY=" + std::string(100, 't') + "\nDEBUG_PORT=" +
         std::string(30, 'p') + "\nMODULE_DIR=" + std::string(600, 'm') + "\n");
    EXPECT_EQ(kova::g_config.logfile, std::string(255, 'l'));
    EXPECT_EQ(kova::g_config.token_key, std::string(64, 't'));
    EXPECT_EQ(kova::g_config.debug_port, std::string(19, 'p'));
    EXPECT_EQ(kova::g_config.module_dir, std::string(511, 'm'));
}

// A line longer than 4,095 bytes is read in pieces that count as lines.
TEST_F(ConfigTest, LongLinesAreReadInPieces) {
    load("LOGFILE=" + std::string(4992, 'y') + "\n" + std::string(4095, 'a') + "DEBUG_PORT=1\nTOKEN_KEY=k\n");
    EXPECT_EQ(kova::g_config.logfile, std::string(255, 'y'));
    EXPECT_EQ(kova::g_config.debug_port, "1");
    EXPECT_EQ(kova::g_config.token_key, "k");
}

TEST_F(ConfigTest, IncludeLimit) {
    std::string lines;
    for (int i = 0; i < 127; ++i) lines += "INCLUDE=m" + std::to_string(i) + ".js\n";
    load(lines);
    EXPECT_EQ(kova::g_modules.count, 127u);
    kova::modules_reset();
    expect_fatal(lines + "INCLUDE=one_too_many.js\n",
                 "モジュール(.js、.jo)が多すぎます。125ファイル以下にしてください。");
}

TEST_F(ConfigTest, UnreadableFileIsFatal) {
    const std::string path = dir_ + "/missing/KOVA.config";
    const std::string out = dir_ + "/stdout";
    EXPECT_EXIT(
        {
            if (std::freopen(out.c_str(), "wb", stdout) == nullptr) std::_Exit(3);
            kova::read_config(path.c_str());
            std::_Exit(4);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(read_file(out), fatal_record("kova設定ファイル(" + path + ")が開けません"));
}

TEST(Fingerprint, LineFormat) {
    std::string line;
    ASSERT_TRUE(kova::fingerprint_line("d/a.js", SAMPLE_TIME, 5, line));
    EXPECT_EQ(line, "d/a.js;2024/01/02 29:30:40;0:5\n");
    ASSERT_TRUE(kova::fingerprint_line("p", 0, 0x1FFFFFFFFull, line));
    EXPECT_EQ(line, "p;1970/01/01 09:00:00;1:-1\n");
    EXPECT_FALSE(kova::fingerprint_line("p", INT64_MAX, 0, line));
}

TEST(Fingerprint, ModuleFileNames) {
    for (const char* name : {"a.js", "B.JO", "c.Js", "d.jO", ".js"}) EXPECT_TRUE(kova::is_module_file_name(name)) << name;
    for (const char* name : {"a.json", "a.jsx", "a.j", "js", "a.ts", "a_js", ""}) {
        EXPECT_FALSE(kova::is_module_file_name(name)) << name;
    }
}

class ModuleDirTest : public ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        mods_ = dir_ + "/mods";
        fs::create_directories(mods_ + "/sub");
        add_file("a.js", "hello", SAMPLE_TIME);
        add_file("B.JO", "", SAMPLE_TIME + 3600 * 4);  // past midnight UTC
        add_file("sub/d.Js", "0123456789", SAMPLE_TIME);
        add_file("notes.txt", "ignored", SAMPLE_TIME);
        add_file("x.json", "ignored", SAMPLE_TIME);
    }
    void add_file(const std::string& name, const std::string& text, time_t mtime) {
        write_file(mods_ + "/" + name, text);
        set_mtime(mods_ + "/" + name, mtime);
    }
    std::string fingerprint() {
        char out[kova::SHA256_HEX_SIZE];
        EXPECT_TRUE(kova::module_dir_fingerprint(mods_.c_str(), out));
        return out;
    }
    std::string mods_;
};

TEST_F(ModuleDirTest, ListingIsSortedByBytesAndRecursive) {
    std::string text;
    ASSERT_TRUE(kova::module_dir_listing((mods_ + "/").c_str(), text));
    const std::string expected = mods_ + "/B.JO;2024/01/03 09:30:40;0:0\n" + mods_ +
                                 "/a.js;2024/01/02 29:30:40;0:5\n" + mods_ + "/sub/d.Js;2024/01/02 29:30:40;0:10\n";
    EXPECT_EQ(text, expected);
    char out[kova::SHA256_HEX_SIZE];
    ASSERT_TRUE(kova::module_dir_fingerprint(mods_.c_str(), out));
    char direct[kova::SHA256_HEX_SIZE];
    kova::sha256_hex(expected.data(), expected.size(), direct);
    EXPECT_STREQ(out, direct);
}

TEST_F(ModuleDirTest, OnlyModuleFilesCount) {
    const std::string before = fingerprint();
    add_file("notes.txt", "changed text", SAMPLE_TIME + 1);
    add_file("x.json", "{}", SAMPLE_TIME + 1);
    EXPECT_EQ(fingerprint(), before);
    add_file("sub/d.Js", "0123456789!", SAMPLE_TIME);
    EXPECT_NE(fingerprint(), before);
}

TEST_F(ModuleDirTest, MatchingFingerprintPasses) {
    load("MODULE_DIR=" + mods_ + ">>>" + fingerprint() + "  ; checked\n");
    EXPECT_EQ(kova::g_config.module_dir, mods_);
}

TEST_F(ModuleDirTest, ChangedDirectoryIsFatal) {
    const std::string line = "MODULE_DIR=" + mods_ + ">>>" + fingerprint() + "\n";
    add_file("sub/new.js", "", SAMPLE_TIME);
    expect_fatal(line, "JSモジュールのディレクトリの内容が変わっています。");
}

TEST_F(ModuleDirTest, WrongOrUncheckableFingerprintIsFatal) {
    const std::string fp = fingerprint();
    std::string upper = fp;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const std::string& line : {"MODULE_DIR=" + mods_ + ">>>" + std::string(64, '0'),
                                     "MODULE_DIR=" + mods_ + ">>>" + upper,
                                     "MODULE_DIR=" + mods_ + ">>>",
                                     "MODULE_DIR=" + dir_ + "/absent>>>" + fp}) {
        expect_fatal(line + "\n", "JSモジュールのディレクトリの内容が変わっています。");
    }
}

}  // namespace
