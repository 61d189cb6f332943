// Command texts of the transfers: exact texts for plain values, and what the real
// /bin/sh makes of them for hostile values.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "exec/exec.h"
#include "settings/settings.h"
#include "transfer/curl.h"
#include "transfer/sftp.h"
#include "transfer/size_check.h"

namespace {

// Values that hold every character the shell, curl or sftp read specially.
const std::vector<std::string> k_hostile_values = {
    "a b",          "x;reboot",      "$(touch pwned)", "`touch pwned`", "it's",
    "q\"q",         "back\\slash",   "star*",          "qm?",           "[br]",
    "{a,b}",        "#hash",         "%41pct",         "-leading",      "~tilde",
    "semi;$HOME",   "tab\there",     "cr\rname",       "line\nfeed",    "a\\nb",
    "end\\",        "p$\"\\'` :#x",  "!bang",          "&amp|pipe",     "<in>out",
    "",             "\xc3\xbc-utf8", "'",              "''",            "\\'",
};

// Runs `command` with /bin/sh and returns what it wrote to standard output.
std::string shell_output(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "popen failed";
    char chunk[256];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, got);
    if (pclose(pipe) != 0) output += "<exit status not 0>";
    return output;
}

// The words the shell splits `arguments` into, each followed by a NUL.
std::string shell_words(const std::string& arguments) {
    return shell_output("printf '%s\\0' " + arguments);
}

std::string nul_joined(const std::vector<std::string>& words) {
    std::string joined;
    for (const std::string& word : words) joined += word + '\0';
    return joined;
}

std::string text_before(const std::string& text, const std::string& end) {
    return text.substr(0, text.find(end));
}

// The remote side of a run to `url`, with the default stall limit.
Remote remote_at(const char* url, bool temporary_names = false) {
    Remote remote;
    remote.url = url;
    remote.user = "u";
    remote.password = "p\"w";
    remote.temporary_names = temporary_names;
    remote.temporary_tag = "0123abcd";
    return remote;
}

// The remote side of a run to `url` with a rate cap of `kib` KiB/s, shared by
// `transfers` transfers at once.
Remote remote_capped(const char* url, uint32_t kib, uint32_t transfers = 1) {
    Remote remote = remote_at(url);
    remote.rate_kib = kib;
    remote.transfers = transfers;
    return remote;
}

// The words sftp's batch reader takes from a put line after "put": each escaping
// backslash goes, an unescaped blank ends a word.
std::vector<std::string> put_line_words(const std::string& line) {
    const std::string rest = line.substr(line.find("put ") + 4);
    std::vector<std::string> words(1);
    for (size_t i = 0; i < rest.size() && rest[i] != '\n'; ++i) {
        if (rest[i] == ' ') {
            words.emplace_back();
            continue;
        }
        if (rest[i] == '\\' && i + 1 < rest.size()) ++i;
        words.back() += rest[i];
    }
    return words;
}

}  // namespace

struct CommandCase {
    const char* behaviour;
    std::string actual;
    std::string expected;
};

TEST(CommandTexts, PlainAndHostileValuesGiveTheseTexts) {
    const std::vector<CommandCase> cases = {
        {"plain curl upload names the remote file and reads the open file",
         curl_upload_command({"/data/scan/a.jpg", 5}, remote_at("ftp://host/up/")),
         "printf '%s\\n' \"$CRATEFERRY_CURL_USER\" | curl -fSs -K - --connect-timeout 300 -Y 1 -y 300 ftp://host/up/a.jpg -T /proc/self/fd/5 "
         "2>/var/crateFerry/curl_error"},
        {"plain credentials travel in the environment as the documented config line",
         curl_credentials_secret("user", "secret"), "CRATEFERRY_CURL_USER=user=\"user:secret\""},
        {"empty credentials still set user to a lone colon", curl_credentials_secret("", ""),
         "CRATEFERRY_CURL_USER=user=\":\""},
        {"a password with quotes and backslashes is escaped in curl's syntax",
         curl_credentials_secret("u", "p$\"\\'` :#x\n"),
         "CRATEFERRY_CURL_USER=user=\"u:p$\\\"\\\\'` :#x\\n\""},
        {"a long name and URL are never cut",
         curl_upload_command({"/data/" + std::string(300, 'p'), 12}, remote_at("ftp://h/")),
         "printf '%s\\n' \"$CRATEFERRY_CURL_USER\" | curl -fSs -K - --connect-timeout 300 -Y 1 -y 300 ftp://h/" + std::string(300, 'p') +
             " -T /proc/self/fd/12 2>/var/crateFerry/curl_error"},
        {"a name with blanks and quotes is encoded in the URL",
         curl_upload_command({"/s/it's a;b", 5}, remote_at("ftp://h/")),
         "printf '%s\\n' \"$CRATEFERRY_CURL_USER\" | curl -fSs -K - --connect-timeout 300 -Y 1 -y 300 ftp://h/it%27s%20a%3Bb -T /proc/self/fd/5 "
         "2>/var/crateFerry/curl_error"},
        {"a name with brackets is encoded and needs no -g",
         curl_upload_command({"/s/[a]{b}", 5}, remote_at("ftp://h/")),
         "printf '%s\\n' \"$CRATEFERRY_CURL_USER\" | curl -fSs -K - --connect-timeout 300 -Y 1 -y 300 ftp://h/%5Ba%5D%7Bb%7D -T /proc/self/fd/5 "
         "2>/var/crateFerry/curl_error"},
        {"a URL with brackets is quoted after -g",
         curl_upload_command({"/s/a", 5}, remote_at("ftp://h/[x]/")),
         "printf '%s\\n' \"$CRATEFERRY_CURL_USER\" | curl -fSs -K - --connect-timeout 300 -Y 1 -y 300 -g 'ftp://h/[x]/a' -T /proc/self/fd/5 "
         "2>/var/crateFerry/curl_error"},
        {"a URL naming the remote file is used as it is",
         curl_upload_command({"/s/a\\b c", 7}, remote_at("ftp://h/up/x.dat")),
         "printf '%s\\n' \"$CRATEFERRY_CURL_USER\" | curl -fSs -K - --connect-timeout 300 -Y 1 -y 300 ftp://h/up/x.dat -T /proc/self/fd/7 "
         "2>/var/crateFerry/curl_error"},
        {"a rate cap follows the stall limits",
         curl_upload_command({"/s/a.jpg", 5}, remote_capped("ftp://h/up/", 512)),
         "printf '%s\\n' \"$CRATEFERRY_CURL_USER\" | curl -fSs -K - --connect-timeout 300 -Y 1 -y 300 --limit-rate 512K ftp://h/up/a.jpg -T /proc/self/fd/5 "
         "2>/var/crateFerry/curl_error"},
        {"a rate cap in the batch's options", text_before(curl_batch_config({{"/s/a", 5}},
                                                             remote_at("ftp://h/"), 64), "write-out"),
         "user = \"u:p\\\"w\"\nfail\nshow-error\nsilent\ngloboff\nconnect-timeout = 300\nspeed-limit = 1\n"
         "speed-time = 300\nlimit-rate = 64K\n"},
        {"transfers at once share the cap", std::to_string(rate_per_transfer(100, 3)), "33"},
        {"a later run's per-file command has an error file of its own",
         curl_upload_command({"/s/a.jpg", 5}, remote_at("ftp://h/up/"), 2),
         "printf '%s\\n' \"$CRATEFERRY_CURL_USER\" | curl -fSs -K - --connect-timeout 300 -Y 1 -y 300 "
         "ftp://h/up/a.jpg -T /proc/self/fd/5 2>/var/crateFerry/curl_error.3"},
        {"a cap too small to share still moves", std::to_string(rate_per_transfer(3, 16)), "1"},
        {"no cap is shared as none", std::to_string(rate_per_transfer(0, 4)), "0"},
        {"a rate cap on a download", download_command("", "ftp://h/a", 7, 300, 100),
         "curl -K - -fSs --connect-timeout 300 -Y 1 -y 300 --limit-rate 100K -o /proc/self/fd/7 ftp://h/a "
         "2>/var/crateFerry/curl_error"},
        {"sftp takes the cap in Kbit/s", sftp_batch_command("u", "h", "/in", false, 300, 512),
         "/opt/crateFerry/bin/sftp -S /opt/crateFerry/bin/ssh -F /var/crateFerry/ssh_config "
         "-o LogLevel=ERROR -o ConnectTimeout=300 -o ServerAliveInterval=100 -o ServerAliveCountMax=2 "
         "-l 4096 u@h:/in < /var/crateFerry/sftp_list 2>/var/crateFerry/sftp_error > /dev/null"},
        {"a later sftp session has files of its own",
         sftp_batch_command("u", "h", "/in", false, 300, 128, 2),
         "/opt/crateFerry/bin/sftp -S /opt/crateFerry/bin/ssh -F /var/crateFerry/ssh_config "
         "-o LogLevel=ERROR -o ConnectTimeout=300 -o ServerAliveInterval=100 -o ServerAliveCountMax=2 "
         "-l 1024 u@h:/in < /var/crateFerry/sftp_list.3 2>/var/crateFerry/sftp_error.3 > /dev/null"},
        {"the first run's files are the documented ones",
         run_file("/var/crateFerry/sftp_end", 0), "/var/crateFerry/sftp_end"},
        {"a URL beginning with '-' follows --url", curl_url_argument("-oops"), "--url -oops"},
        {"a plain URL is passed as it is", curl_url_argument("https://u@h:8/a/b=c,d"),
         "https://u@h:8/a/b=c,d"},
        {"a URL with a query is quoted", curl_url_argument("https://h/a?b=c&d"),
         "'https://h/a?b=c&d'"},
        {"plain sftp batch with folder is the documented text",
         sftp_batch_command("user", "host", "/up", true, 300),
         "/opt/crateFerry/bin/sshpass -e /opt/crateFerry/bin/sftp -S "
         "/opt/crateFerry/bin/ssh -F /var/crateFerry/ssh_config -o LogLevel=ERROR -o ConnectTimeout=300 -o ServerAliveInterval=100 -o ServerAliveCountMax=2 "
         "user@host:/up < /var/crateFerry/sftp_list 2>/var/crateFerry/sftp_error > /dev/null"},
        {"an empty password starts the command with sftp",
         sftp_batch_command("user", "host", "", false, 300),
         "/opt/crateFerry/bin/sftp -S /opt/crateFerry/bin/ssh -F /var/crateFerry/ssh_config "
         "-o LogLevel=ERROR -o ConnectTimeout=300 -o ServerAliveInterval=100 -o ServerAliveCountMax=2 user@host: < /var/crateFerry/sftp_list "
         "2>/var/crateFerry/sftp_error > /dev/null"},
        {"a user name beginning with '-' follows --",
         sftp_batch_command("-oProxyCommand=x", "h", "/f", false, 300),
         "/opt/crateFerry/bin/sftp -S /opt/crateFerry/bin/ssh -F /var/crateFerry/ssh_config "
         "-o LogLevel=ERROR -o ConnectTimeout=300 -o ServerAliveInterval=100 -o ServerAliveCountMax=2 -- -oProxyCommand=x@h:/f < /var/crateFerry/sftp_list "
         "2>/var/crateFerry/sftp_error > /dev/null"},
        {"a folder with a blank is quoted with the whole target",
         sftp_batch_command("u", "h", "/my dir", false, 300),
         "/opt/crateFerry/bin/sftp -S /opt/crateFerry/bin/ssh -F /var/crateFerry/ssh_config "
         "-o LogLevel=ERROR -o ConnectTimeout=300 -o ServerAliveInterval=100 -o ServerAliveCountMax=2 'u@h:/my dir' < /var/crateFerry/sftp_list "
         "2>/var/crateFerry/sftp_error > /dev/null"},
        {"a plain value is not quoted", shell_quote("/a-b_c.d/e@f%g+h=i:j,k"),
         "/a-b_c.d/e@f%g+h=i:j,k"},
        {"an empty value stays empty", shell_quote(""), ""},
        {"a value with a blank is single-quoted", shell_quote("a b"), "'a b'"},
        {"a single quote closes, escapes and reopens", shell_quote("it's"), "'it'\\''s'"},
        {"a tilde is quoted", shell_quote("~x"), "'~x'"},
    };
    for (const CommandCase& c : cases) EXPECT_EQ(c.actual, c.expected) << c.behaviour;
}

struct UrlCase {
    const char* url;
    bool found;
    const char* host;
    const char* folder;
};

TEST(StallOptions, BoundEveryToolByTheStallLimit) {
    struct StallCase {
        const char* behaviour;
        uint32_t stalltime;
        std::string curl;
        std::string ssh;
    };
    const std::vector<StallCase> cases = {
        {"a missing limit is 300 s", 0, "--connect-timeout 300 -Y 1 -y 300 ",
         "-o ConnectTimeout=300 -o ServerAliveInterval=100 -o ServerAliveCountMax=2 "},
        {"one second still probes every second", 1, "--connect-timeout 1 -Y 1 -y 1 ",
         "-o ConnectTimeout=1 -o ServerAliveInterval=1 -o ServerAliveCountMax=2 "},
        {"three unanswered intervals reach the limit, rounded up", 7,
         "--connect-timeout 7 -Y 1 -y 7 ",
         "-o ConnectTimeout=7 -o ServerAliveInterval=3 -o ServerAliveCountMax=2 "},
        {"a limit beyond a day counts as a day, which every tool takes", 4294967295U,
         "--connect-timeout 86400 -Y 1 -y 86400 ",
         "-o ConnectTimeout=86400 -o ServerAliveInterval=28800 -o ServerAliveCountMax=2 "},
    };
    for (const StallCase& c : cases) {
        Settings settings{};
        settings.stalltime = c.stalltime;
        EXPECT_EQ(curl_stall_options(stall_seconds(settings)), c.curl) << c.behaviour;
        EXPECT_EQ(ssh_stall_options(stall_seconds(settings)), c.ssh) << c.behaviour;
    }
}

TEST(StallOptions, AnSftpSessionStalledWhenItsConnectionEndedPastTheLimitWithoutACause) {
    struct SessionCase {
        const char* behaviour;
        int status;  // raw wait status
        uint64_t seconds;
        const char* error_lines;
        bool stalled;
    };
    constexpr int k_exit_255 = 255 << 8;
    const SessionCase cases[] = {
        {"a lost connection past the limit, no cause named", k_exit_255, 3,
         "Connected to 127.0.0.1.; Connection closed; ", true},
        {"an empty line before sftp's last word changes nothing", k_exit_255, 2,
         "Connected to 127.0.0.1.; ; Connection closed; ", true},
        {"sftp caught writing to the ssh that gave up still stalled", k_exit_255, 3,
         "Connected to 127.0.0.1.; Couldn't send packet: Connection reset by peer; ", true},
        {"or caught reading from it", k_exit_255, 3,
         "Connected to 127.0.0.1.; Couldn't read packet: Connection reset by peer; "
         "Connection closed; ",
         true},
        {"a session shorter than the limit did not stall", k_exit_255, 1,
         "Connected to 127.0.0.1.; Connection closed; ", false},
        {"a server that closed the connection said so", k_exit_255, 30,
         "Connected to 127.0.0.1.; Connection to 127.0.0.1 closed by remote host.; "
         "Connection closed; ",
         false},
        {"ssh's own timeout text names its cause", k_exit_255, 2,
         "Connection timed out during banner exchange; Connection closed; ", false},
        {"a refused password names its cause", k_exit_255, 9,
         "u@h: Permission denied (password).; Connection closed; ", false},
        {"sftp exiting 1 did not lose its connection", 1 << 8, 9,
         "Connected to 127.0.0.1.; Connection closed; ", false},
        {"a killed session is no stall", 9, 9, "Connected to 127.0.0.1.; ", false},
    };
    for (const SessionCase& c : cases)
        EXPECT_EQ(sftp_stalled(c.status, c.seconds, 2, c.error_lines), c.stalled) << c.behaviour;
}

TEST(SftpUrlParts, OnlyTheSchemeSelectsSftpAndTheHostEndsAtTheFirstSlash) {
    const UrlCase cases[] = {
        {"sftp://host/up/dir", true, "host", "/up/dir"},
        {"sftp://host", true, "host", ""},
        {"sftp://host/", true, "host", "/"},
        {"sftp://host:2222/up", true, "host:2222", "/up"},
        {"sftp://me@host/up", true, "me@host", "/up"},
        {"sftp://", true, "", ""},
        {"SFTP://Host/Up", true, "Host", "/Up"},
        {"sFtP://host/a?b", true, "host", "/a?b"},
        {"xsftp://host/a?b", false, "", ""},
        {"ftp://host/sftp-in/", false, "", ""},
        {"ftp://host/sftp://x/", false, "", ""},
        {"sftp:/host/up", false, "", ""},
        {"ftp://host/up", false, "", ""},
        {"", false, "", ""},
    };
    for (const UrlCase& c : cases) {
        std::string host;
        std::string folder;
        EXPECT_EQ(sftp_url_parts(c.url, &host, &folder), c.found) << c.url;
        EXPECT_EQ(is_sftp_url(c.url), c.found) << c.url;
        if (!c.found) continue;
        EXPECT_EQ(host, c.host) << c.url;
        EXPECT_EQ(folder, c.folder) << c.url;
    }
}

struct TargetUrlCase {
    const char* behaviour;
    const char* url;
    const char* path;
    const char* expected;
};

// The temporary name of `name` under the tag the tests' remote side carries.
std::string temporary_name_of(const std::string& name) {
    return temporary_name(name, "0123abcd");
}

TEST(TemporaryName, OnlyTheProgramsOwnFormIsTakenForATemporaryName) {
    struct FormCase {
        const char* behaviour;
        std::string name;
        bool temporary;
    };
    const FormCase cases[] = {
        {"a temporary name of this program", temporary_name_of("a.jpg"), true},
        {"a long name's temporary name", temporary_name_of(std::string(250, 'x')), true},
        {"another run's tag", ".a.jpg.ffff0000.cfpart", true},
        {"the form of earlier versions is an ordinary name", ".a.cfpart", false},
        {"an earlier long form is an ordinary name", "." + std::string(200, 'a') + ".9c8801a9fdf9337d.cfpart", false},
        {"upper-case hex is no tag", ".a.0123ABCD.cfpart", false},
        {"no dot before the tag", ".a0123abcd.cfpart", false},
        {"nothing before the tag", "..0123abcd.cfpart", false},
        {"no leading dot", "a.0123abcd.cfpart", false},
        {"another suffix", ".a.0123abcd.part", false},
    };
    for (const FormCase& c : cases) EXPECT_EQ(has_temporary_form(c.name), c.temporary) << c.behaviour;
}

TEST(CurlCommand, ATemporaryUploadSendsUnderTheHiddenNameAndRenamesAfter) {
    const std::string start = "printf '%s\\n' \"$CRATEFERRY_CURL_USER\" | curl -fSs -K - "
                              "--connect-timeout 300 -Y 1 -y 300 ";
    const std::vector<CommandCase> cases = {
        {"a folder URL gets the file's temporary name",
         curl_upload_command({"/s/a.jpg", 5}, remote_at("ftp://h/up/", true)),
         start + "-Q '-RNFR .a.jpg.0123abcd.cfpart' -Q '-RNTO a.jpg' ftp://h/up/.a.jpg.0123abcd.cfpart -T /proc/self/fd/5 "
                 "2>/var/crateFerry/curl_error"},
        {"a URL naming the remote file renames to that name, decoded",
         curl_upload_command({"/s/a.jpg", 5}, remote_at("FTPS://h/up/b%20c", true)),
         start + "-Q '-RNFR .b c.0123abcd.cfpart' -Q '-RNTO b c' FTPS://h/up/.b%20c.0123abcd.cfpart -T /proc/self/fd/5 "
                 "2>/var/crateFerry/curl_error"},
        {"a hostile name is encoded in the URL and quoted in the commands",
         curl_upload_command({"/s/it's [x]", 5}, remote_at("ftp://h", true)),
         start + "-Q '-RNFR .it'\\''s [x].0123abcd.cfpart' -Q '-RNTO it'\\''s [x]' "
                 "ftp://h/.it%27s%20%5Bx%5D.0123abcd.cfpart -T /proc/self/fd/5 2>/var/crateFerry/curl_error"},
        {"a URL that cannot rename uploads as without the setting",
         curl_upload_command({"/s/a.jpg", 5}, remote_at("file:///up/", true)),
         start + "file:///up/a.jpg -T /proc/self/fd/5 2>/var/crateFerry/curl_error"},
        {"a name too long for the plain temporary name gets the cut and hashed one",
         curl_upload_command({"/s/" + std::string(239, 'a'), 5}, remote_at("ftp://h/", true)),
         start + "-Q '-RNFR ." + std::string(221, 'a') + ".efe3167321efdd76.0123abcd.cfpart' -Q '-RNTO " +
             std::string(239, 'a') + "' ftp://h/." + std::string(221, 'a') +
             ".efe3167321efdd76.0123abcd.cfpart -T /proc/self/fd/5 2>/var/crateFerry/curl_error"},
    };
    for (const CommandCase& c : cases) EXPECT_EQ(c.actual, c.expected) << c.behaviour;
}

TEST(TemporaryName, EveryNameThatFitsGetsATemporaryNameThatFits) {
    std::string utf8 = "ab";  // "ab", 124 two-byte letters, 'z': 251 bytes
    for (int i = 0; i < 124; ++i) utf8 += "\xc3\xbc";
    utf8 += 'z';
    const std::string long_a = std::string(255, 'a');
    const CommandCase cases[] = {
        {"a short name gets a dot before and the suffix after", temporary_name_of("a.jpg"),
         ".a.jpg.0123abcd.cfpart"},
        {"a name of 238 bytes keeps that form, 255 bytes long",
         temporary_name_of(std::string(238, 'a')), "." + std::string(238, 'a') + ".0123abcd.cfpart"},
        {"a name of 239 bytes is cut to 221 and the hash of the whole added",
         temporary_name_of(std::string(239, 'a')),
         "." + std::string(221, 'a') + ".efe3167321efdd76.0123abcd.cfpart"},
        {"a cut never ends inside a UTF-8 sequence", temporary_name_of(utf8).substr(0, 222),
         "." + utf8.substr(0, 220) + "."},
        {"the longest name gives 255 bytes", std::to_string(temporary_name_of(long_a).size()), "255"},
        {"two long names alike in their first bytes differ",
         std::to_string(temporary_name_of(long_a) == temporary_name_of(long_a + "b")), "0"},
        {"one name always gives the same temporary name in one run",
         std::to_string(temporary_name_of(utf8) == temporary_name_of(utf8)), "1"},
        {"another run's tag gives another name",
         std::to_string(temporary_name("a", "0123abcd") == temporary_name("a", "0123abce")), "0"},
    };
    for (const CommandCase& c : cases) EXPECT_EQ(c.actual, c.expected) << c.behaviour;
    EXPECT_LE(temporary_name_of(utf8).size(), 255U);
}

TEST(FtpNames, OnlyNamesTheCommandChannelCarriesAreSentOverFtp) {
    struct NameCase {
        const char* behaviour;
        const char* path;
        const char* url;
        unsigned char refused;
    };
    const NameCase cases[] = {
        {"0xFF, Telnet's IAC, is refused", "/s/a\xff\xfe", "ftp://h/in/", 0xff},
        {"a tab is refused", "/s/a\tb", "FTPS://h/in/", '\t'},
        {"a carriage return is refused", "/s/a\rb", "ftp://h", '\r'},
        {"DEL and other high bytes go", "/s/\x7f\x80\xfe", "ftp://h/in/", 0},
        {"only the name counts, not its folder", "/s\xff/a", "ftp://h/in/", 0},
        {"a URL naming the remote file sends no local name", "/s/a\xff", "ftp://h/in/x", 0},
        {"other schemes carry any name", "/s/a\xff\t", "file:///in/", 0},
    };
    for (const NameCase& c : cases)
        EXPECT_EQ(curl_unsendable_byte(c.path, c.url), c.refused) << c.behaviour;
}

TEST(UrlPieces, OneFileUrlIsFetchedWithOnlyTheBytesCurlRefusesEncoded) {
    const CommandCase cases[] = {
        {"blanks and control bytes are encoded, the rest kept",
         curl_acceptable_url("ftp://h/a b%20\t\x7f\xc3\xbc#f"), "ftp://h/a%20b%20%09%7F\xc3\xbc#f"},
        {"the last segment stops at a query", url_last_segment("http://h/a/b.c?x=/y"), "b.c"},
        {"a folder URL has no last segment", url_last_segment("ftp://h/a/"), ""},
    };
    for (const CommandCase& c : cases) EXPECT_EQ(c.actual, c.expected) << c.behaviour;
}

TEST(CurlBatch, EveryValueIsEscapedAndRenamedFilesGetAGroupEach) {
    const std::string common =
        "user = \"u:p\\\"w\"\nfail\nshow-error\nsilent\ngloboff\nconnect-timeout = 300\n"
        "speed-limit = 1\nspeed-time = 300\n"
        "write-out = \"crateferry-result %{urlnum} %{exitcode} %{errormsg}\\n\"\n";
    EXPECT_EQ(curl_batch_config({{"/s/a.dat", 5}, {"/s/-b \"c\"\\\r", 6}}, remote_at("ftp://h/in/"), 0),
              common + "url = \"ftp://h/in/a.dat\"\noutput = \"/dev/null\"\nupload-file = \"/proc/self/fd/5\"\n"
                       "url = \"ftp://h/in/-b%20%22c%22%5C%0D\"\noutput = \"/dev/null\"\n"
                       "upload-file = \"/proc/self/fd/6\"\n");
    const std::string renamed =
        curl_batch_config({{"/s/a b", 5}, {"/s/c", 6}}, remote_at("ftp://h/in/", true), 0);
    EXPECT_EQ(renamed, common + "quote = \"-RNFR .a b.0123abcd.cfpart\"\nquote = \"-RNTO a b\"\n"
                                "url = \"ftp://h/in/.a%20b.0123abcd.cfpart\"\noutput = \"/dev/null\"\n"
                                "upload-file = \"/proc/self/fd/5\"\nnext\n" +
                           common + "quote = \"-RNFR .c.0123abcd.cfpart\"\nquote = \"-RNTO c\"\n"
                                "url = \"ftp://h/in/.c.0123abcd.cfpart\"\noutput = \"/dev/null\"\n"
                                "upload-file = \"/proc/self/fd/6\"\n");
    EXPECT_EQ(curl_batch_command(0),
              "exec curl --fail-early -K /var/crateFerry/curl_batch 2>/var/crateFerry/curl_error");
    // With the size check, results come on the error stream, which curl writes at once.
    EXPECT_EQ(curl_batch_command(1, true), "exec curl --fail-early -K /var/crateFerry/curl_batch.2 2>&1 >/dev/null");
    Remote checked = remote_at("ftp://h/in/");
    checked.verify = true;
    EXPECT_NE(curl_batch_config({{"/s/a", 5}}, checked, 0)
                  .find("write-out = \"%{stderr}crateferry-pretransfer %{time_pretransfer}\\n"
                        "crateferry-result %{urlnum} %{exitcode} %{errormsg}\\n\"\n"),
              std::string::npos);
    EXPECT_EQ(curl_batch_command(3),
              "exec curl --fail-early -K /var/crateFerry/curl_batch.4 2>/var/crateFerry/curl_error.4");
}

TEST(SizeCheck, FtpSizesAreAskedOnOneConnectionInTheRemoteFolder) {
    EXPECT_EQ(ftp_sizes_config({{"/s/a b", 5}, {"/s/%c", 6}}, remote_at("ftp://h/in/")),
              "user = \"u:p\\\"w\"\nsilent\nshow-error\nverbose\nhead\nconnect-timeout = 300\n"
              "speed-limit = 1\nspeed-time = 300\nurl = \"ftp://h/in/\"\nquote = \"-TYPE I\"\n"
              "quote = \"-*SIZE a b\"\nquote = \"-*SIZE %c\"\n");
    // A URL that names a file: that name is asked, in its folder.
    EXPECT_NE(ftp_sizes_config({{"/s/x", 5}}, remote_at("ftp://h/in/fixed%20name"))
                  .find("url = \"ftp://h/in/\"\nquote = \"-TYPE I\"\nquote = \"-*SIZE fixed name\"\n"),
              std::string::npos);
    EXPECT_EQ(curl_size_command(true), "curl -K - 2>&1 >/dev/null");
    EXPECT_EQ(curl_size_command(false), "curl -K - 2>/dev/null");
}

TEST(PercentDecode, TurnsEveryEncodedByteBackAndKeepsTheRest) {
    const CommandCase cases[] = {
        {"encoded bytes are decoded", percent_decode("a%20b%2Fc%ff"), "a b/c\xff"},
        {"a lone or broken percent stays", percent_decode("100%-%4-%zz%"), "100%-%4-%zz%"},
        {"decoding what was encoded gives the input", percent_decode(percent_encode("\x01%25 #?/\xfe")),
         "\x01%25 #?/\xfe"},
    };
    for (const CommandCase& c : cases) EXPECT_EQ(c.actual, c.expected) << c.behaviour;
}

TEST(CurlTargetUrl, NamesTheRemoteFileUnlessTheUrlDoes) {
    const TargetUrlCase cases[] = {
        {"a folder URL gets the name", "ftp://h/up/", "/s/a.jpg", "ftp://h/up/a.jpg"},
        {"a blank is encoded", "ftp://h/up/", "/s/a b", "ftp://h/up/a%20b"},
        {"a backslash in the folder only is not sent", "ftp://h/up/", "/s\\t/a", "ftp://h/up/a"},
        {"a URL naming the remote file keeps it", "ftp://h/up/x", "/s/a\\b", "ftp://h/up/x"},
        {"a folder URL gets the encoded name", "ftp://h/up/", "/s/a\\b", "ftp://h/up/a%5Cb"},
        {"a URL without path gets a slash and the name", "ftp://h:21", "/s/a\\b",
         "ftp://h:21/a%5Cb"},
        {"the name goes before a query", "ftp://h/up/?q=1", "/s/a\\b", "ftp://h/up/a%5Cb?q=1"},
        {"every reserved byte is encoded", "ftp://h/", "/s/\\#?%[]{}~._-\xc3\xbc",
         "ftp://h/%5C%23%3F%25%5B%5D%7B%7D~._-%C3%BC"},
    };
    for (const TargetUrlCase& c : cases)
        EXPECT_EQ(curl_target_url(c.url, c.path), c.expected) << c.behaviour;
}

TEST(SftpQueueLine, PutsTheLinkNamedAsTheFileEscapingEveryCharacterOutsideThePlainSet) {
    EXPECT_EQ(sftp_queue_line("a-b_c.jpg"), "put /var/crateFerry/sftp_files/a-b_c.jpg\n");
    EXPECT_EQ(sftp_queue_line("a b*'\"\\"),
              "put /var/crateFerry/sftp_files/a\\ b\\*\\'\\\"\\\\\n");
    EXPECT_EQ(sftp_queue_line("-x", 2), "put /var/crateFerry/sftp_files.3/-x\n");
}

TEST(SftpQueueLine, ATemporaryNameIsPutThenRenamedInTheSameFolder) {
    EXPECT_EQ(sftp_queue_lines_renamed("a.jpg", "0123abcd"),
              "put /var/crateFerry/sftp_files/.a.jpg.0123abcd.cfpart\n"
              "rename .a.jpg.0123abcd.cfpart a.jpg\n");
    EXPECT_EQ(sftp_queue_lines_renamed("-a b", "0123abcd"),
              "put /var/crateFerry/sftp_files/.-a\\ b.0123abcd.cfpart\n"
              "rename .-a\\ b.0123abcd.cfpart -a\\ b\n");
    const std::string temporary = "." + std::string(221, 'a') + ".efe3167321efdd76.0123abcd.cfpart";
    EXPECT_EQ(sftp_queue_lines_renamed(std::string(239, 'a'), "0123abcd"),
              "put /var/crateFerry/sftp_files/" + temporary + "\nrename " + temporary + " " +
                  std::string(239, 'a') + "\n");
}

TEST(SftpQueueLine, ReadsBackAsTheWalkedNameForEveryHostileName) {
    for (const std::string& name : k_hostile_values) {
        if (name.find('\n') != std::string::npos || name.empty()) continue;  // never queued
        const std::string line = sftp_queue_line(name);
        EXPECT_EQ(line.find('\n'), line.size() - 1) << name;
        EXPECT_EQ(put_line_words(line), (std::vector<std::string>{"/var/crateFerry/sftp_files/" + name}));
        // The put line of a temporary upload names the temporary name's link.
        const std::string renamed = sftp_queue_lines_renamed(name, "0123abcd");
        EXPECT_EQ(put_line_words(renamed.substr(0, renamed.find('\n') + 1)),
                  (std::vector<std::string>{"/var/crateFerry/sftp_files/." + name + ".0123abcd.cfpart"}));
    }
}

TEST(ShellQuote, TheShellReadsEveryQuotedValueBackAsItself) {
    for (const std::string& value : k_hostile_values)
        EXPECT_EQ(shell_words(shell_quote(value)), nul_joined({value})) << value;
}

TEST(CurlCommand, TheShellHandsCurlTheURLAndTheOpenFileAsThemselves) {
    for (const std::string& value : k_hostile_values) {
        const std::string url = "ftp://h/" + value;
        const std::string command = curl_upload_command({"/s/" + value, 9}, remote_at(url.c_str()));
        // The words after "curl", without the error redirection.
        const std::string words = text_before(command.substr(command.find("| curl ") + 7), " 2>");
        std::vector<std::string> expected = {"-fSs", "-K", "-", "--connect-timeout", "300",
                                             "-Y", "1", "-y", "300"};
        const std::string target = curl_target_url(url.c_str(), ("/s/" + value).c_str());
        if (target.find_first_of("[]{}") != std::string::npos) expected.push_back("-g");
        expected.insert(expected.end(), {target, "-T", "/proc/self/fd/9"});
        EXPECT_EQ(shell_words(words), nul_joined(expected)) << value;
    }
}

TEST(CurlCommand, TheCredentialLineCarriesAnyPasswordInCurlsSyntax) {
    struct CredentialCase {
        std::string password;
        std::string config_line;
    };
    const CredentialCase cases[] = {
        {"secret", "user=\"u:secret\"\n"},
        {"a 'b' #c:d", "user=\"u:a 'b' #c:d\"\n"},
        {"p$\"\\'` :#x", "user=\"u:p$\\\"\\\\'` :#x\"\n"},
        {"\\n", "user=\"u:\\\\n\"\n"},
        {"l\nf\rc", "user=\"u:l\\nf\\rc\"\n"},
        {"%s-$(x)", "user=\"u:%s-$(x)\"\n"},
    };
    for (const CredentialCase& c : cases) {
        // What the shell pipes into curl, the secret coming from its environment.
        const std::string secret = curl_credentials_secret("u", c.password.c_str());
        const std::string name = secret.substr(0, secret.find('='));
        ASSERT_EQ(setenv(name.c_str(), secret.c_str() + name.size() + 1, 1), 0);
        EXPECT_EQ(shell_output(curl_credentials_prefix() + "cat"), c.config_line) << c.password;
        unsetenv(name.c_str());
    }
}

TEST(SftpCommand, TheShellHandsSshpassAndSftpEveryValueAsItself) {
    for (const std::string& value : k_hostile_values) {
        if (value.empty()) continue;
        const std::string command = sftp_batch_command(value.c_str(), value, "/" + value, true, 300);
        const std::string prefix = "/opt/crateFerry/bin/sshpass ";
        ASSERT_EQ(command.compare(0, prefix.size(), prefix), 0) << value;
        const std::string words = text_before(command.substr(prefix.size()), " < /var/crateFerry/");
        const std::string target = value + "@" + value + ":/" + value;
        std::vector<std::string> expected = {"-e", "/opt/crateFerry/bin/sftp", "-S",
                                             "/opt/crateFerry/bin/ssh", "-F",
                                             "/var/crateFerry/ssh_config", "-o", "LogLevel=ERROR",
                                             "-o", "ConnectTimeout=300", "-o",
                                             "ServerAliveInterval=100", "-o",
                                             "ServerAliveCountMax=2"};
        if (target[0] == '-') expected.push_back("--");
        expected.push_back(target);
        EXPECT_EQ(shell_words(words), nul_joined(expected)) << value;
    }
}

TEST(WaysOfSending, ReportEveryNameTheyCannotCarryAsRefusedWithoutRunningCurl) {
    const std::vector<PendingFile> files = {{-1, "tab\there", "/s/tab\there", {1, 0, 1, 0, 0}},
                                            {-1, "iac\xff", "/s/iac\xff", {1, 0, 1, 0, 0}}};
    const std::vector<Outcome> refused(files.size(), Outcome::refused);
    Remote remote = remote_at("ftp://h/in/");
    int sent = 0;
    const OnSent count_sent = [&](size_t, int) { ++sent; };
    EXPECT_EQ(send_in_file_runs(remote, files, count_sent), refused);
    remote.curl_batch = true;
    EXPECT_EQ(send_files(remote, files, count_sent), refused);
    EXPECT_EQ(sent, 0);
}

TEST(CurlOutcome, TheExitCodeTellsAFileOfADeadServerOrLink) {
    const std::pair<int, Outcome> cases[] = {
        {0, Outcome::sent},        {28, Outcome::stalled},    {6, Outcome::unreachable},
        {7, Outcome::unreachable}, {67, Outcome::unreachable}, {9, Outcome::failed},
        {21, Outcome::failed},     {25, Outcome::failed},     {-1, Outcome::failed},
    };
    for (const auto& c : cases) EXPECT_EQ(curl_outcome(c.first), c.second) << c.first;
}
