// Fuzz target for curl_target_url. Input: the remote URL, a NUL, the local path.
// Properties, for any URL and path without NUL:
// - the file name (the path after its last '/') never escapes the folder URL: when the
//   result is not the URL itself, it is the URL up to its path end, then "/" only when
//   the URL's path is empty, then a piece that holds no '/', '?' or '#' and decodes to
//   exactly the file name, then the rest of the URL (its query and fragment);
// - the URL stays as it is exactly when the URL's path is neither empty nor ends in
//   '/' (it names the remote file itself).
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "transfer/curl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> parts = split_input(data, size, 2);
    const std::string& url = parts[0];
    const std::string path = without_nul(parts[1]);
    const std::string name = path.substr(path.rfind('/') + 1);
    const std::string result = curl_target_url(url.c_str(), path.c_str());
    const std::string detail = "url:    " + printable(url) + "\npath:   " + printable(path) +
                               "\nresult: " + printable(result);

    // Where the URL's path begins and ends: after "scheme://" and the authority, up to
    // the query or fragment.
    const size_t scheme = url.find("://");
    const size_t authority = scheme == std::string::npos ? 0 : scheme + 3;
    size_t path_end = url.find_first_of("?#", authority);
    if (path_end == std::string::npos) path_end = url.size();
    size_t path_start = url.find('/', authority);
    if (path_start == std::string::npos || path_start > path_end) path_start = path_end;
    const bool path_empty = path_start == path_end;
    const bool names_the_file = path_empty || url[path_end - 1] == '/';

    if (!names_the_file) {
        require(result == url, "a URL that names a file stays as it is", detail);
        return 0;
    }
    const std::string head = url.substr(0, path_end) + (path_empty ? "/" : "");
    const std::string tail = url.substr(path_end);
    require(result.size() >= head.size() + tail.size() &&
                result.compare(0, head.size(), head) == 0 &&
                result.compare(result.size() - tail.size(), tail.size(), tail) == 0,
            "the result is the URL's path, the name, then the URL's query and fragment", detail);
    const std::string piece = result.substr(head.size(), result.size() - head.size() - tail.size());
    require(piece.find_first_of("/?#") == std::string::npos,
            "the appended name holds no '/', '?' or '#'", detail);
    std::string decoded;
    require(percent_decode(piece, &decoded) && decoded == name,
            "the appended name decodes to exactly the file name", detail);
    return 0;
}
