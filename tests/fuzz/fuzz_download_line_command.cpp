// Fuzz target for download_line_command. Input: one mode byte, a name (ignored: kept
// so the corpus keeps its shape), a NUL, the folder URL, a NUL, the rest. Mode bit 0:
// the listed line is the folder URL followed by the rest (as the list file holds it),
// else the rest alone.
// Properties, for any listed line:
// - the command is empty exactly when the line holds a NUL, does not begin with the
//   folder URL, or the name after the folder URL is empty, ".", ".." or holds a '/';
//   with no folder URL (the URL of one file), when the URL's last path segment,
//   percent-decoded, is empty, ".", ".." or holds a '/';
// - otherwise it ends with its error redirect, and run with the real /bin/sh -c and a
//   stub curl first on PATH (in a temporary folder: no network, no /var), it runs curl
//   exactly once, with the stall limits, writing to the open file /proc/self/fd/7 and to no
//   name, and fetching the line itself when the listed name is plain, else the folder
//   URL with the name percent-encoded (the one file: the URL with only blanks, control
//   bytes and DEL encoded); "-g" comes exactly when the URL holds []{} and "--url" when
//   it begins with '-'; nothing else is created.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "paths.h"
#include "transfer/curl.h"

namespace {

// The temporary folder: bin/curl (the stub), record/ (what the stub saw, and the error
// file), work/ (the shell's working folder).
struct Scratch {
    TempFolder root;
    std::string bin = root.path() + "/bin";
    std::string record = root.path() + "/record";
    std::string work = root.path() + "/work";

    Scratch() {
        for (const std::string& folder : {bin, record, work})
            if (mkdir(folder.c_str(), 0700) != 0) property_failed("scratch folders", folder);
        const std::string stub = bin + "/curl";
        std::string script = "#!/bin/sh\n";
        script += "# Stands in for curl: records its arguments, fetches nothing.\n";
        script += "echo call >> '" + record + "/calls'\n";
        script += "printf '%s\\0' \"$@\" > '" + record + "/argv'\n";
        write_file(stub, script);
        if (chmod(stub.c_str(), 0700) != 0) property_failed("the stub curl is executable", stub);
    }
};

std::vector<std::string> nul_separated(const std::string& text) {
    std::vector<std::string> words;
    size_t start = 0;
    size_t end;
    while ((end = text.find('\0', start)) != std::string::npos) {
        words.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return words;
}

bool has_glob(const std::string& url) {
    return url.find_first_of("[]{}") != std::string::npos;
}

// A name that is a file of the listed folder: not ".", not "..", no '/'.
bool names_a_file(const std::string& name) {
    return name != "." && name != ".." && name.find('/') == std::string::npos;
}

// A name that curl fetches as written when it ends a URL: ASCII letters, digits and
// @+=:,._- only (no '%' that curl would decode, no '?' or '#' that would end the path).
bool plain_name(const std::string& name) {
    for (char c : name) {
        const bool alphanumeric =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alphanumeric && std::string("@+=:,._-").find(c) == std::string::npos) return false;
    }
    return true;
}

// The last segment of a URL's path as written: after the last '/' of the path, which
// starts at the first '/' after "scheme://" and ends at the first '?' or '#'.
std::string last_segment(const std::string& url) {
    const size_t scheme = url.find("://");
    const size_t authority = scheme == std::string::npos ? 0 : scheme + 3;
    size_t path_end = url.find_first_of("?#", authority);
    if (path_end == std::string::npos) path_end = url.size();
    const size_t path_start = url.find('/', authority);
    if (path_start == std::string::npos || path_start >= path_end) return "";
    const size_t slash = url.rfind('/', path_end - 1);
    return url.substr(slash + 1, path_end - slash - 1);
}

int hex_digit(char c) {
    const std::string digits = "0123456789abcdef";
    const size_t at = digits.find(static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c));
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

std::string decoded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 &&
            hex_digit(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The URL with the bytes curl refuses (blank, control bytes, DEL) as %XX.
std::string acceptable(const std::string& url) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : url) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7f)
            out += std::string("%") + hex[byte >> 4] + hex[byte & 0xf];
        else
            out += c;
    }
    return out;
}

// Checks curl's arguments for the line stored as `name`; `single` for the URL of one
// file.
void check_curl_arguments(const std::vector<std::string>& args, const std::string& line,
                          const std::string& folder_url, const std::string& name, bool single,
                          const std::string& detail) {
    size_t next = 0;
    while (next + 1 < args.size() && args[next] == "-K") next += 2;  // credentials from stdin
    // Every fetch is bounded by the stall limit, and writes the open file only.
    const std::vector<std::string> fetch = {"-fSs", "--connect-timeout", "300", "-Y", "1",
                                            "-y", "300", "-o", "/proc/self/fd/7"};
    require(args.size() >= next + fetch.size() &&
                std::equal(fetch.begin(), fetch.end(), args.begin() + static_cast<ptrdiff_t>(next)),
            "every fetch has the stall limits and writes /proc/self/fd/7", detail);
    next += fetch.size();
    const std::string url_expected =
        single ? acceptable(line) : plain_name(name) ? line : folder_url + percent_encode(name);
    const bool globbing_off = next < args.size() && args[next] == "-g";
    if (globbing_off) ++next;
    const bool url_option = next < args.size() && args[next] == "--url";
    if (url_option) ++next;
    require(next + 1 == args.size(), "curl gets exactly one URL as its last argument", detail);
    const std::string& url = args[next];
    require(url == url_expected, "curl fetches the expected URL", detail);
    require(globbing_off == has_glob(url), "-g comes exactly when the URL holds []{}", detail);
    require(url_option == (!url.empty() && url[0] == '-'),
            "--url comes exactly when the URL begins with '-'", detail);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Scratch scratch;
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    const std::vector<std::string> parts = split_input(data + 1, size - 1, 3);
    const std::string& folder_url = parts[1];
    const std::string line = (mode & 1) != 0 ? folder_url + parts[2] : parts[2];

    const std::string command = download_line_command("", folder_url.c_str(), line, 7, 300);
    std::string detail = "folder url: " + printable(folder_url) +
                         "\nline:       " + printable(line) + "\ncommand:    " + printable(command);

    const bool single = folder_url.empty();
    const bool listed = !single && line.compare(0, folder_url.size(), folder_url) == 0;
    const std::string name =
        single ? decoded(last_segment(line)) : listed ? line.substr(folder_url.size()) : "";
    const bool refused = line.find('\0') != std::string::npos || (!single && !listed) ||
                         name.empty() || !names_a_file(name);
    require(command.empty() == refused,
            "the command is empty exactly for a NUL or a name that is no file of the folder",
            detail);
    if (command.empty()) return 0;

    const std::string redirect = std::string(" 2>") + paths::curl_error;
    require(command.size() > redirect.size() &&
                command.compare(command.size() - redirect.size(), redirect.size(), redirect) == 0,
            "the command ends with its error redirect", detail);
    const std::string runnable = command.substr(0, command.size() - redirect.size()) + " 2>'" +
                                 scratch.record + "/curl_error'";

    const ChildResult shell =
        run_child({"/bin/sh", "-c", runnable}, scratch.work,
                  {"PATH=" + scratch.bin + ":/usr/bin:/bin", "HOME=/nonexistent-home"});
    const std::string calls = file_content(scratch.record + "/calls");
    const std::vector<std::string> args = nul_separated(file_content(scratch.record + "/argv"));
    std::string shown_args;
    for (const std::string& arg : args) shown_args += " [" + printable(arg) + "]";
    detail += "\ncurl args:  " + shown_args;

    require(shell.status == 0, "the command runs to its end", detail);
    require(calls == "call\n", "the command runs curl exactly once", detail);
    check_curl_arguments(args, line, folder_url, name, single, detail);
    require(folder_entries(scratch.work).empty(), "nothing is created in the working folder",
            detail);
    require(
        folder_entries(scratch.root.path()) == std::vector<std::string>{"bin", "record", "work"},
        "nothing is created in the temporary folder", detail);

    for (const char* file : {"/calls", "/cwd", "/argv", "/curl_error"})
        (void)remove((scratch.record + file).c_str());
    return 0;
}
