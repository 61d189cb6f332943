// Where curl sends a file: URL pieces, percent-encoding, the remote name and the
// names the FTP command channel cannot carry.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

#include "fileutil/fileutil.h"
#include "transfer/curl.h"
#include "transfer/sftp.h"

namespace {

// The value of one hex digit, or -1.
int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The longest name most file systems take, in bytes.
constexpr size_t k_max_name_bytes = 255;
constexpr char k_temporary_suffix[] = ".cfpart";
constexpr size_t k_name_hash_digits = 16;

// 64-bit FNV-1a of `text` as 16 hex digits: tells apart long names cut alike.
std::string name_hash(const std::string& text) {
    uint64_t hash = 0xcbf29ce484222325U;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3U;
    }
    static const char hex[] = "0123456789abcdef";
    std::string digits(k_name_hash_digits, '0');
    for (size_t i = k_name_hash_digits; i-- > 0; hash >>= 4) digits[i] = hex[hash & 0xf];
    return digits;
}

// A URL cut around the last segment of its path.
struct UrlParts {
    std::string folder;        // up to and including the path's last '/' (added when the path is empty)
    std::string last_segment;  // as written, empty when the path ends in '/'
    std::string rest;          // "?query" and "#fragment"
};

UrlParts split_url(const std::string& url) {
    const size_t scheme = url.find("://");
    const size_t authority = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t path_end = std::min(url.find_first_of("?#", authority), url.size());
    const size_t path_start = std::min(url.find('/', authority), path_end);
    if (path_start == path_end) return {url.substr(0, path_end) + "/", "", url.substr(path_end)};
    const size_t last_slash = url.rfind('/', path_end - 1);
    return {url.substr(0, last_slash + 1), url.substr(last_slash + 1, path_end - last_slash - 1),
            url.substr(path_end)};
}

}  // namespace

std::string percent_encode(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (isalnum(byte) || (byte != 0 && strchr("-._~", byte) != nullptr)) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += hex[byte >> 4];
            encoded += hex[byte & 0xf];
        }
    }
    return encoded;
}

std::string percent_decode(const std::string& text) {
    std::string decoded;
    for (size_t i = 0; i < text.size(); ++i) {
        const int high = i + 2 < text.size() && text[i] == '%' ? hex_value(text[i + 1]) : -1;
        const int low = high >= 0 ? hex_value(text[i + 2]) : -1;
        if (low < 0) {
            decoded += text[i];
            continue;
        }
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return decoded;
}

std::string temporary_name(const std::string& name, const std::string& tag) {
    const std::string ending = "." + tag + k_temporary_suffix;
    std::string plain = "." + name + ending;
    if (plain.size() <= k_max_name_bytes) return plain;
    // Room for ".", the cut name, ".", the hash and the ending.
    size_t cut = k_max_name_bytes - 2 - k_name_hash_digits - ending.size();
    // Not inside a UTF-8 sequence: back up over its continuation bytes (at most 3).
    for (int i = 0; i < 3 && (static_cast<unsigned char>(name[cut]) & 0xc0) == 0x80; ++i) --cut;
    return "." + name.substr(0, cut) + "." + name_hash(name) + ending;
}

bool has_temporary_form(const std::string& name) {
    constexpr size_t k_suffix_length = sizeof k_temporary_suffix - 1;
    // ".", at least one byte, ".", the tag, the suffix.
    if (name.size() < 3 + k_temporary_tag_digits + k_suffix_length || name[0] != '.' ||
        name.compare(name.size() - k_suffix_length, k_suffix_length, k_temporary_suffix) != 0)
        return false;
    const size_t tag = name.size() - k_suffix_length - k_temporary_tag_digits;
    if (name[tag - 1] != '.') return false;
    for (size_t i = tag; i < tag + k_temporary_tag_digits; ++i)
        if (!isxdigit(static_cast<unsigned char>(name[i])) || isupper(static_cast<unsigned char>(name[i])))
            return false;
    return true;
}

bool uses_temporary_names(const Remote& remote) {
    return remote.temporary_names && (is_ftp_url(remote.url.c_str()) || is_sftp_url(remote.url.c_str()));
}

bool is_ftp_url(const char* url) {
    return strncasecmp(url, "ftp://", 6) == 0 || strncasecmp(url, "ftps://", 7) == 0;
}

unsigned char ftp_unsendable_byte(const std::string& name) {
    constexpr unsigned char k_telnet_iac = 0xff;
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == k_telnet_iac) return byte;
    }
    return 0;
}

unsigned char curl_unsendable_byte(const char* path, const char* remoteurl) {
    if (!is_ftp_url(remoteurl) || !split_url(remoteurl).last_segment.empty()) return 0;
    return ftp_unsendable_byte(basename(path));
}

std::string url_last_segment(const std::string& url) {
    return split_url(url).last_segment;
}

std::string curl_acceptable_url(const std::string& url) {
    std::string acceptable;
    for (char c : url) {
        const auto byte = static_cast<unsigned char>(c);
        acceptable += byte <= 0x20 || byte == 0x7f ? percent_encode(std::string(1, c)) : std::string(1, c);
    }
    return acceptable;
}

std::string curl_target_url(const char* remoteurl, const char* path) {
    const UrlParts url = split_url(remoteurl);
    // A URL whose path names a file sends every file to that name.
    if (!url.last_segment.empty()) return remoteurl;
    return url.folder + percent_encode(basename(path)) + url.rest;
}

CurlTarget curl_target(const char* path, const Remote& remote) {
    const char* remoteurl = remote.url.c_str();
    if (!remote.temporary_names || !is_ftp_url(remoteurl))
        return {curl_target_url(remoteurl, path), "", ""};
    const UrlParts parts = split_url(remoteurl);
    const std::string name =
        parts.last_segment.empty() ? basename(path) : percent_decode(parts.last_segment);
    const std::string temporary = temporary_name(name, remote.temporary_tag);
    return {parts.folder + percent_encode(temporary) + parts.rest, temporary, name};
}
