// Where a file goes on the server: URL pieces, percent-encoding, the remote name,
// temporary names, and the names the FTP command channel cannot carry.
#pragma once

#include <string>

#include "transfer/transfer.h"

// `text` with every byte other than ASCII letters, digits and -._~ written as %XX.
std::string percent_encode(const std::string& text);

// `text` with every %XX (two hex digits) turned into its byte; anything else kept.
std::string percent_decode(const std::string& text);

// The name a file is written under on the server until it is whole, when temporary
// names are asked for, in the same remote folder: ".NAME.TAG.cfpart" when that fits in
// 255 bytes (NAME up to 238 bytes); for a longer NAME, ".CUT.HASH.TAG.cfpart" of 255
// bytes or a few less: CUT is NAME's first 221 bytes, ended before a cut UTF-8
// sequence, and HASH 16 hex digits of a hash of the whole NAME. TAG is the run's
// temporary_tag (8 hex digits): no file of the folder, nor one an earlier run sent,
// can carry the name by chance, and a retry in the same run overwrites what an
// earlier attempt left.
std::string temporary_name(const std::string& name, const std::string& tag);

// True for ftp:// and ftps:// URLs (any letter case): the FTP command channel carries
// the names, and curl can rename a file there after sending it.
bool is_ftp_url(const char* url);

// The first byte of `name` that the FTP command channel cannot carry faithfully: a
// control character (curl refuses them) or 0xFF (Telnet's IAC, which servers read as
// the start of a command); 0 when there is none.
unsigned char ftp_unsendable_byte(const std::string& name);

// The byte that keeps curl from sending `path` to `remoteurl` as itself: one of
// ftp_unsendable_byte, when the URL is an FTP URL that names the remote file after
// the local one; else 0.
unsigned char curl_unsendable_byte(const char* path, const char* remoteurl);

// The last segment of a URL's path, as written (before any "?" or "#"); empty when
// the path is empty or ends in '/'.
std::string url_last_segment(const std::string& url);

// `url` with the bytes curl refuses in a URL (blanks, control characters, DEL)
// percent-encoded; everything else, %XX included, as written.
std::string curl_acceptable_url(const std::string& url);

// The URL curl uploads `path` to: `remoteurl` with the file's name appended,
// percent-encoded, when the URL's path is empty or ends in '/' (curl reads the file
// as /proc/self/fd/N, so the URL names the remote file); `remoteurl` itself when its path
// names a file.
std::string curl_target_url(const char* remoteurl, const char* path);

// Where curl sends `path` for `remote`: the URL (curl_target_url), or with temporary
// names and an FTP URL, the URL of the temporary name and the two names of the
// rename after the transfer (both empty without one).
struct CurlTarget {
    std::string url;
    std::string rename_from;
    std::string rename_to;
};
CurlTarget curl_target(const char* path, const Remote& remote);
