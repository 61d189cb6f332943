// Fuzz target for download_prefix_command, the sed step that puts the folder URL in front
// of every listed name. Input: the URL, a NUL, the list file's content. Property, for any
// URL a settings value can hold (no NUL, no line feed) and any list: after the command,
// run by the real /bin/sh and sed in the C and the C.UTF-8 locale, every line of the list
// is the URL followed by the line as it was, and a last line without a line feed still
// has none.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "transfer/curl.h"

namespace {

std::string prefixed_lines(const std::string& list, const std::string& url) {
    std::string expected;
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find('\n', start);
        end = end == std::string::npos ? list.size() : end + 1;
        expected += url + list.substr(start, end - start);
        start = end;
    }
    return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const TempFolder scratch;
    const std::vector<std::string> parts = split_input(data, size, 2);
    std::string url = parts[0];
    url.erase(std::remove(url.begin(), url.end(), '\n'), url.end());
    const std::string& list = parts[1];
    const std::string list_path = scratch.path() + "/list";
    const std::string command = download_prefix_command(url.c_str(), list_path.c_str());
    const std::string expected = prefixed_lines(list, url);

    for (const char* locale : {"LC_ALL=C", "LC_ALL=C.UTF-8"}) {
        write_file(list_path, list);
        const ChildResult shell =
            run_child({"/bin/sh", "-c", command}, scratch.path(), {"PATH=/usr/bin:/bin", locale});
        const std::string result = file_content(list_path);
        require(shell.status == 0 && result == expected,
                "sed puts exactly the URL in front of every listed line",
                std::string(locale) + "\nurl:      " + printable(url) +
                    "\ncommand:  " + printable(command) + "\nlist:     " + printable(list) +
                    "\nresult:   " + printable(result) + "\nexpected: " + printable(expected));
    }
    return 0;
}
