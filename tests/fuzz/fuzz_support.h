// What the fuzz targets share: cutting an input into arguments, reporting a broken
// property, running a child process, a temporary folder, and percent-decoding.
//
// Rules a reader must not break:
// - a target never writes outside its temporary folder and never opens a socket
//   other than one on 127.0.0.1;
// - children get /dev/null as input and only the environment they are given:
//   by default PATH=/usr/bin:/bin and a HOME that exists nowhere, so that a tilde the
//   shell expands shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The input cut at its first `count - 1` NUL bytes into `count` texts; missing ones are
// empty, and the last one keeps any further NUL bytes. A NUL is the natural separator:
// none of the arguments under test can hold one.
std::vector<std::string> split_input(const uint8_t* data, size_t size, size_t count);

// `text` without its NUL bytes.
std::string without_nul(const std::string& text);

// `text` with every byte outside printable ASCII, and the backslash, as \xHH.
std::string printable(const std::string& text);

// Prints which property broke, with `detail`, and aborts: libFuzzer saves the input.
[[noreturn]] void property_failed(const char* property, const std::string& detail);

// Aborts through property_failed unless `condition` holds.
inline void require(bool condition, const char* property, const std::string& detail) {
    if (!condition) property_failed(property, detail);
}

// The environment of children unless a target says otherwise.
const std::vector<std::string> k_child_environment = {"PATH=/usr/bin:/bin",
                                                      "HOME=/nonexistent-home"};

struct ChildResult {
    int status;          // raw wait status, or -1 when no child could be started
    std::string output;  // everything the child wrote to standard output
};

// Runs `argv` (its first word a full path) in `folder` with `environment` and waits for
// it; standard error goes to the fuzzer's own.
ChildResult run_child(const std::vector<std::string>& argv, const std::string& folder,
                      const std::vector<std::string>& environment = k_child_environment);

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it when the
// object goes; made once per fuzzing process.
class TempFolder {
   public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }

   private:
    std::string path_;
};

// Deletes `path` and everything below it; a missing path is no error.
void remove_tree(const std::string& path);

// The names in folder `path`, sorted, without "." and "..".
std::vector<std::string> folder_entries(const std::string& path);

// The whole content of file `path`; empty when it cannot be read.
std::string file_content(const std::string& path);

// Writes `content` as file `path`; aborts when it cannot.
void write_file(const std::string& path, const std::string& content);

// `encoded` with every %XX (either case of hex digit) turned back into its byte; false
// when a '%' is not followed by two hex digits.
bool percent_decode(const std::string& encoded, std::string* decoded);
