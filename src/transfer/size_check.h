// The size check before a sent file is finished (MOD_CRATEFERRY_VERIFY): what the
// server reports for a file's final name, read from each tool's answer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "exec/exec.h"
#include "transfer/curl.h"
#include "transfer/runs.h"

// What a server reported of one file.
struct ReportedSize {
    enum Kind { unknown, no_file, bytes };
    Kind kind = unknown;  // unknown: no size it can report
    uint64_t size = 0;  // with bytes
};

// The state of the check through one upload: whether the first file told that the
// server can report sizes at all.
struct SizeCheck {
    bool told = false;
    bool server_cannot = false;
};

// The command of a curl run that asks sizes: its configuration (credentials
// included) comes on its standard input, its answers on standard output; with `ftp`,
// what curl shows of the command channel (its error stream) comes there instead.
std::string curl_size_command(bool ftp);

// The configuration of a curl run that asks the sizes of `files` under their final
// names (curl_target_url) with a HEAD-like request each: for HTTP(S) and file:// URLs.
// Each answer ends with "crateferry-size EXITCODE".
std::string curl_sizes_config(const std::vector<OpenFile>& files, const Remote& remote);

// The configuration of a curl run that asks the sizes of `files` over FTP or FTPS on
// one connection: to the remote folder, "TYPE I", then "SIZE NAME" per file, one round
// trip each, shown by curl's "verbose".
std::string ftp_sizes_config(const std::vector<OpenFile>& files, const Remote& remote);

// The sizes of `count` files from what curl showed of an ftp_sizes_config run: each
// "> SIZE" line's reply, "213 N" N bytes, "550" no file, anything else (or none) no
// size.
std::vector<ReportedSize> read_ftp_sizes(const std::string& output, size_t count);

// The sizes of `count` files from a curl run's output: per file the head answer
// (FTP SIZE as "Content-Length:", an HTTP status and Content-Length, file:// alike)
// and then "crateferry-size EXITCODE"; curl's codes 78 (FTP) and 37 (file://) and
// HTTP 404 or 410 mean no file, any other failure no size.
std::vector<ReportedSize> read_curl_sizes(const std::string& output, size_t count);

// The queue line of the sftp session that asks the size of the remote file `name`.
std::string sftp_size_line(const std::string& name);

// The sizes of `files` from that session's output, where sftp echoes each command
// after "sftp> " and lists a file as "ls -ln" does (its fifth field the size); a
// file asked but not listed is no file, one never asked has no size.
std::vector<ReportedSize> read_sftp_sizes(const std::string& output,
                                          const std::vector<OpenFile>& files);

// An sftp session that asks the sizes of one upload session's files while that one
// goes on: its commands are written to its standard input as the upload passes each
// file, and its answers read as they come.
struct FollowingSizes {
    Child child;
    std::vector<OpenFile> files;  // in queue order
    size_t asked = 0;             // the files whose line was handed on
    std::string unsent;           // lines sftp has not taken yet
    std::string output;
};

// Starts the session that follows the upload of `files` (its command as
// sftp_size_command's); false, with nothing started, when it could not be.
bool start_following_sizes(const std::vector<OpenFile>& files, const Remote& remote,
                           FollowingSizes* sizes);

// Asks the sizes of the files up to `passed` (the upload is done with them) not yet
// asked, and hands sftp what it takes of them without waiting.
void ask_following_sizes(FollowingSizes* sizes, size_t passed);

// Reads what the session wrote so far; at the end of its output, closes it.
void read_following_sizes(FollowingSizes* sizes);

// Asks the sizes not yet asked, ends the session's input, reads its answers to the end
// and reaps it. The sizes of its files, unknown for any it did not answer.
std::vector<ReportedSize> end_following_sizes(FollowingSizes* sizes);

// The sizes the server holds under the final names of `files` (curl_target_url, or
// the name in the SFTP folder), asked by up to remote.transfers curl runs or sftp
// sessions at once, each over its part of the files (split_into_runs).
std::vector<ReportedSize> remote_sizes(const std::vector<OpenFile>& files, const Remote& remote);

// One curl run asking the sizes of files a curl upload reported sent.
struct SizeWave {
    Child child;
    std::vector<size_t> asking;  // places in SizeWaves::files
    std::string output;
};

// Size checks that go on while a curl upload does: per run of the upload a lane, which
// asks in one curl run at a time the sizes of the files that run reported sent since
// its lane last asked.
struct SizeWaves {
    std::vector<OpenFile> files;  // the upload's files
    const Remote* remote = nullptr;
    std::vector<RunPart> parts;                // the upload's runs (split_into_runs)
    std::vector<SizeWave> lanes;               // the wave under way per run, if any
    std::vector<std::vector<size_t>> waiting;  // per run: sent, not yet asked
    std::vector<ReportedSize> sizes;           // per file
    bool follow = false;  // the server is far enough for waves during the upload
};

// Gets `waves` ready for the upload of `files`, split into runs as the curl batch
// splits them.
void start_size_waves(const std::vector<OpenFile>& files, const Remote& remote, SizeWaves* waves);

// A transfer of the upload waited `seconds` before its data could go. From one that
// waited 0.1 s or more, the waves follow the upload; until then, and with a near
// server, they wait for its end: on a near server curl 7.88 loses a second on a
// reused connection whose passive reply is there before it looks, which a curl run
// starting beside it makes likely, and there the check costs little after the run.
void size_waves_heard(SizeWaves* waves, double seconds);

// `file` (a place in the upload's files) was reported sent: its size is asked by its
// lane's next wave. While the waves follow the upload, every lane's wave that ended is
// taken, and a lane with files waiting and no wave under way starts one.
void ask_size_soon(SizeWaves* waves, size_t file);

// Asks the sizes of the files still waiting, at once, and waits for every wave. The
// sizes of the upload's files, unknown for those never asked or not answered.
std::vector<ReportedSize> end_size_waves(SizeWaves* waves);

// Per file of `files`, which the tool reported sent: true when the server holds every
// byte of the open file under its final name. `known`, unless empty, holds sizes
// already asked while the upload went on (one per file); those it does not know are
// asked afresh with remote_sizes. Otherwise logs at LOG_ERR "File %s is
// not finished: the server holds %s under its name, not %llu bytes" ("no file", "N
// bytes" or "no size it can report"). When the first file checked gets no size, the
// server cannot report sizes: logs once at LOG_ERR "the server cannot report file
// sizes: sent files are left pending", and every file from then on is false.
std::vector<bool> check_sizes(const std::vector<OpenFile>& files, const Remote& remote,
                              SizeCheck* check, std::vector<ReportedSize> known = {});
