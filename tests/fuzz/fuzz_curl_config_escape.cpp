// Fuzz target for curl_config_escape. Properties, for any value without NUL:
// - a reader of curl's documented config syntax reads user="ESCAPED" back as exactly
//   the value: inside double quotes \t \n \r \v stand for tab, line feed, carriage
//   return and vertical tab, a backslash before any other character stands for that
//   character, and the value ends at the first quote without a backslash; the escaped
//   text holds no line end, and its closing quote ends the line (checked on every input);
// - the real curl, reading `user="ESCAPED"` from a config file with -K, sends it to a
//   listener on 127.0.0.1 in a Basic authorization header that decodes to exactly the
//   value (checked on the first input and every 200th after it: curl takes milliseconds).
//   The value goes as "u:VALUE", so curl always finds the colon after the user name and
//   never asks for a password.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "transfer/curl.h"

namespace {

// One run of the real curl in every this many inputs.
constexpr unsigned k_curl_sample = 200;

// The value of user="TEXT" as curl's config syntax documents it; false when the text
// after the opening quote is no complete quoted value that ends the line.
bool read_quoted_value(const std::string& line, std::string* value) {
    const std::string opening = "user=\"";
    if (line.compare(0, opening.size(), opening) != 0) return false;
    value->clear();
    for (size_t i = opening.size(); i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\n' || c == '\r') return false;
        if (c == '"') return i + 1 == line.size();
        if (c != '\\') {
            *value += c;
            continue;
        }
        if (++i == line.size()) return false;
        static const std::string letters = "tnrv";
        static const std::string controls = "\t\n\r\v";
        const size_t control = letters.find(line[i]);
        *value += control == std::string::npos ? line[i] : controls[control];
    }
    return false;
}

std::string base64_decode(const std::string& encoded) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string decoded;
    unsigned bits = 0;
    int bit_count = 0;
    for (char c : encoded) {
        const size_t index = alphabet.find(c);
        if (index == std::string::npos) break;
        bits = (bits << 6) | static_cast<unsigned>(index);
        bit_count += 6;
        if (bit_count >= 8) {
            bit_count -= 8;
            decoded += static_cast<char>((bits >> bit_count) & 0xff);
        }
    }
    return decoded;
}

// Reads one request on `connection` up to the end of its headers, answers 200 and
// returns the decoded Basic credentials, or a text saying what was wrong.
std::string serve_one_request(int connection) {
    std::string request;
    char chunk[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        pollfd ready = {connection, POLLIN, 0};
        if (poll(&ready, 1, 5000) <= 0) return "<no complete request>";
        const ssize_t got = read(connection, chunk, sizeof chunk);
        if (got <= 0) return "<no complete request>";
        request.append(chunk, static_cast<size_t>(got));
    }
    const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    (void)!write(connection, reply, sizeof reply - 1);  // curl's verdict does not matter
    const std::string header = "\r\nAuthorization: Basic ";
    const size_t start = request.find(header);
    if (start == std::string::npos) return "<no Basic authorization header>";
    const size_t value_start = start + header.size();
    return base64_decode(
        request.substr(value_start, request.find("\r\n", value_start) - value_start));
}

// What the real curl sends as Basic credentials when the config file holds `line`.
std::string credentials_curl_sends(const std::string& folder, const std::string& line) {
    const std::string config = folder + "/config";
    write_file(config, line + "\n");

    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        property_failed("a listener on 127.0.0.1 can be opened", strerror(errno));
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";

    // -q first: no .curlrc of this machine takes part.
    const char* argv[] = {"/usr/bin/curl", "-q",        "-s",   "-o", "/dev/null",
                          "--noproxy",     "*",         "-m",   "10", "-K",
                          config.c_str(),  url.c_str(), nullptr};
    char path_variable[] = "PATH=/usr/bin:/bin";
    char* environment[] = {path_variable, nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid;
    const int spawned =
        posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environment);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) property_failed("curl can be started", strerror(spawned));

    std::string sent = "<curl ended without connecting>";
    for (int waited = 0; waited < 100; ++waited) {
        pollfd ready = {listener, POLLIN, 0};
        if (poll(&ready, 1, 100) > 0) {
            const int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection >= 0) {
                sent = serve_one_request(connection);
                close(connection);
            }
            break;
        }
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            break;
        }
    }
    close(listener);
    if (pid > 0) {
        int status;
        (void)waitpid(pid, &status, 0);
    }
    return sent;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const TempFolder scratch;
    static unsigned calls = 0;
    const std::string value = without_nul(std::string(reinterpret_cast<const char*>(data), size));

    const std::string line = "user=\"" + curl_config_escape(value) + "\"";
    std::string read_back;
    require(read_quoted_value(line, &read_back) && read_back == value,
            "curl's documented config syntax reads the escaped value back as the value",
            "value: " + printable(value) + "\nline:  " + printable(line) +
                "\nread:  " + printable(read_back));

    if (calls++ % k_curl_sample != 0) return 0;
    const std::string credentials = "u:" + value;
    const std::string sent =
        credentials_curl_sends(scratch.path(), "user=\"" + curl_config_escape(credentials) + "\"");
    require(sent == credentials, "the real curl sends the escaped value as exactly the value",
            "credentials: " + printable(credentials) + "\nsent:        " + printable(sent));
    return 0;
}
