// The size check before a sent file is finished: the server is asked what it holds
// under the file's final name, by as many curl runs or sftp sessions at once as the
// upload used, and a file is finished only when that is every byte sent.
#include <poll.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "exec/exec.h"
#include "transfer/curl.h"
#include "transfer/runs.h"
#include "transfer/sftp.h"
#include "transfer/size_check.h"

namespace {

constexpr char k_size_mark[] = "crateferry-size ";

// Starts the curl run that asks the sizes of `files`. Its configuration, the password
// among it, goes to curl's standard input, never to a file; curl reads all of it
// before it asks anything.
Child start_curl_sizes(const std::vector<OpenFile>& files, const Remote& remote) {
    const bool ftp = is_ftp_url(remote.url.c_str());
    Child child = Child::start(curl_size_command(ftp), {}, {}, /*with_output=*/true, /*with_input=*/true);
    child.hand_input(ftp ? ftp_sizes_config(files, remote) : curl_sizes_config(files, remote));
    return child;
}

// The sizes of `count` files from the answers of a curl run that asked them.
std::vector<ReportedSize> read_sizes(const std::string& output, size_t count, const Remote& remote) {
    return is_ftp_url(remote.url.c_str()) ? read_ftp_sizes(output, count)
                                          : read_curl_sizes(output, count);
}

// Reads what `children` write until each has ended; their outputs, in order.
std::vector<std::string> read_outputs(std::vector<Child>* children) {
    std::vector<std::string> outputs(children->size());
    std::vector<Child*> set;
    set.reserve(children->size());
    for (Child& child : *children) set.push_back(&child);
    for (std::vector<size_t> ready; !(ready = wait_for_children(set)).empty();) {
        for (const size_t i : ready) {
            Child& child = (*children)[i];
            (void)child.read_output(&outputs[i]);
        }
    }
    return outputs;
}

// `known` (one per file of `files`, or empty for none), with the sizes it does not know
// asked afresh: the session that asked them may have been refused while the upload held
// the server's connections.
std::vector<ReportedSize> asked_afresh_where_unknown(const std::vector<OpenFile>& files,
                                                     const Remote& remote,
                                                     std::vector<ReportedSize> known) {
    if (known.size() != files.size()) return remote_sizes(files, remote);
    std::vector<OpenFile> unknown;
    std::vector<size_t> places;
    for (size_t i = 0; i < files.size(); ++i) {
        if (known[i].kind != ReportedSize::unknown) continue;
        unknown.push_back(files[i]);
        places.push_back(i);
    }
    if (unknown.empty()) return known;
    const std::vector<ReportedSize> asked = remote_sizes(unknown, remote);
    for (size_t k = 0; k < places.size(); ++k) known[places[k]] = asked[k];
    return known;
}

// The text a size takes in the log line.
std::string held_text(const ReportedSize& size) {
    if (size.kind == ReportedSize::bytes) return std::to_string(size.size) + " bytes";
    return size.kind == ReportedSize::no_file ? "no file" : "no size it can report";
}

}  // namespace

std::string curl_size_command(bool ftp) {
    // FTP's answers are read from what curl shows of its command channel, on its error
    // stream.
    return ftp ? "curl -K - 2>&1 >/dev/null" : "curl -K - 2>/dev/null";
}

std::string curl_sizes_config(const std::vector<OpenFile>& files, const Remote& remote) {
    // Every group after "next" starts afresh: each gets the common options again.
    const std::string common = curl_config_option("user", remote.user + ':' + remote.password) +
                               "silent\nshow-error\ngloboff\nhead\n" +
                               curl_config_stall_options(remote.stall_seconds) +
                               curl_config_option("write-out",
                                                  std::string(k_size_mark) + "%{exitcode}\n");
    std::string config;
    for (size_t i = 0; i < files.size(); ++i) {
        if (i > 0) config += "next\n";
        const std::string url = curl_target_url(remote.url.c_str(), files[i].path.c_str());
        config += common + curl_config_option("url", url);
    }
    return config;
}

std::string ftp_sizes_config(const std::vector<OpenFile>& files, const Remote& remote) {
    std::string config = curl_config_option("user", remote.user + ':' + remote.password) +
                         "silent\nshow-error\nverbose\nhead\n" +
                         curl_config_stall_options(remote.stall_seconds);
    if (files.empty()) return config;
    // Every file goes to the same folder: curl goes there and asks nothing of the
    // folder itself; then, one command each, the sizes, in binary mode (some servers
    // refuse SIZE in ASCII mode). "*": a name that is not there fails its command only.
    const std::string first = curl_target_url(remote.url.c_str(), files[0].path.c_str());
    config += curl_config_option("url", first.substr(0, first.size() - url_last_segment(first).size())) +
              curl_config_option("quote", "-TYPE I");
    for (const OpenFile& file : files) {
        const std::string url = curl_target_url(remote.url.c_str(), file.path.c_str());
        config += curl_config_option("quote", "-*SIZE " + percent_decode(url_last_segment(url)));
    }
    return config;
}

std::vector<ReportedSize> read_ftp_sizes(const std::string& output, size_t count) {
    std::vector<ReportedSize> sizes;
    std::istringstream lines(output);
    bool asked = false;  // a SIZE command went, its reply not yet seen
    for (std::string line; std::getline(lines, line) && sizes.size() < count;) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.compare(0, 7, "> SIZE ") == 0) {
            asked = true;
        } else if (asked && line.compare(0, 2, "< ") == 0) {
            asked = false;
            if (line.compare(2, 4, "213 ") == 0)
                sizes.push_back({ReportedSize::bytes, strtoull(line.c_str() + 6, nullptr, 10)});
            else
                sizes.push_back(line.compare(2, 4, "550 ") == 0 ? ReportedSize{ReportedSize::no_file, 0}
                                                                : ReportedSize{});
        }
    }
    sizes.resize(count);
    return sizes;
}

std::vector<ReportedSize> read_curl_sizes(const std::string& output, size_t count) {
    std::vector<ReportedSize> sizes;
    std::istringstream lines(output);
    ReportedSize current;
    for (std::string line; std::getline(lines, line) && sizes.size() < count;) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.compare(0, sizeof k_size_mark - 1, k_size_mark) == 0) {
            const int code = atoi(line.c_str() + sizeof k_size_mark - 1);
            // curl's codes for a file that is not there: FTP (78), file:// (37).
            if (code == 78 || code == 37) current = {ReportedSize::no_file, 0};
            sizes.push_back(code == 0 || current.kind == ReportedSize::no_file ? current
                                                                            : ReportedSize{});
            current = ReportedSize{};
        } else if (strncasecmp(line.c_str(), "HTTP/", 5) == 0) {
            const int code = atoi(line.c_str() + line.find(' ') + 1);
            current = code == 404 || code == 410 ? ReportedSize{ReportedSize::no_file, 0} : ReportedSize{};
        } else if (strncasecmp(line.c_str(), "Content-Length:", 15) == 0 &&
                   current.kind != ReportedSize::no_file) {
            current = {ReportedSize::bytes, strtoull(line.c_str() + 15, nullptr, 10)};
        }
    }
    sizes.resize(count);
    return sizes;
}

std::string sftp_size_line(const std::string& name) {
    // "-": a name that is not there fails this line only, not the session.
    return "-ls -ln " + sftp_escape(name) + "\n";
}

std::vector<ReportedSize> read_sftp_sizes(const std::string& output, const std::vector<OpenFile>& files) {
    std::vector<ReportedSize> sizes(files.size());
    std::istringstream lines(output);
    size_t asked = 0;  // the files whose line sftp has echoed so far
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 6, "sftp> ") == 0) {
            if (line.compare(6, 8, "-ls -ln ") != 0 && line.compare(6, 7, "ls -ln ") != 0) continue;
            // Asked: no file unless it is listed.
            if (asked < files.size()) sizes[asked] = {ReportedSize::no_file, 0};
            ++asked;
            continue;
        }
        if (asked == 0 || asked > files.size()) continue;
        // Permissions, links, owner, group, size, month, day, time or year, name.
        std::istringstream fields(line);
        std::string skip;
        unsigned long long size = 0;
        if (fields >> skip >> skip >> skip >> skip >> size) sizes[asked - 1] = {ReportedSize::bytes, size};
    }
    return sizes;
}

bool start_following_sizes(const std::vector<OpenFile>& files, const Remote& remote,
                           FollowingSizes* sizes) {
    std::string host;
    std::string folder;
    if (!sftp_url_parts(remote.url.c_str(), &host, &folder)) return false;
    std::vector<std::string> secrets;
    if (!remote.password.empty()) secrets.push_back("SSHPASS=" + remote.password);
    sizes->files = files;
    sizes->child = Child::start(sftp_size_command(remote.user.c_str(), host, folder,
                                                  !remote.password.empty(), remote.stall_seconds),
                                secrets, {}, /*with_output=*/true, /*with_input=*/true);
    return sizes->child.started();
}

void ask_following_sizes(FollowingSizes* sizes, size_t passed) {
    for (; sizes->asked < std::min(passed, sizes->files.size()); ++sizes->asked)
        sizes->unsent += sftp_size_line(basename(sizes->files[sizes->asked].path.c_str()));
    sizes->unsent.erase(0, sizes->child.write_input(sizes->unsent));
}

void read_following_sizes(FollowingSizes* sizes) {
    (void)sizes->child.read_output(&sizes->output);
}

std::vector<ReportedSize> end_following_sizes(FollowingSizes* sizes) {
    ask_following_sizes(sizes, sizes->files.size());
    // sftp may answer before it takes more: its output is read while it is handed the rest.
    while (!sizes->unsent.empty() && sizes->child.input() >= 0 && sizes->child.output() >= 0) {
        pollfd both[] = {{sizes->child.input(), POLLOUT, 0}, {sizes->child.output(), POLLIN, 0}};
        if (poll(both, 2, -1) < 0 && errno != EINTR) break;
        if (both[1].revents != 0) read_following_sizes(sizes);
        if (both[0].revents != 0) ask_following_sizes(sizes, sizes->files.size());
    }
    sizes->child.close_input();
    while (sizes->child.output() >= 0) read_following_sizes(sizes);
    (void)sizes->child.wait();
    return read_sftp_sizes(sizes->output, sizes->files);
}

std::vector<ReportedSize> remote_sizes(const std::vector<OpenFile>& files, const Remote& remote) {
    const bool sftp = is_sftp_url(remote.url.c_str());
    // As many runs at once as the upload used, each over its part of the files.
    const std::vector<RunPart> parts = split_into_runs(files.size(), remote.transfers);
    std::vector<std::vector<OpenFile>> part_files;
    std::vector<Child> children;
    std::vector<FollowingSizes> sessions(sftp ? parts.size() : 0);
    part_files.reserve(parts.size());
    children.reserve(parts.size());
    for (unsigned run = 0; run < parts.size(); ++run) {
        const auto begin = files.begin() + static_cast<ptrdiff_t>(parts[run].first);
        part_files.emplace_back(begin, begin + static_cast<ptrdiff_t>(parts[run].count));
        if (sftp)
            (void)start_following_sizes(part_files[run], remote, &sessions[run]);
        else
            children.push_back(start_curl_sizes(part_files[run], remote));
    }
    std::vector<ReportedSize> sizes;
    const std::vector<std::string> outputs = read_outputs(&children);
    for (unsigned run = 0; run < parts.size(); ++run) {
        const std::vector<ReportedSize> part = sftp ? end_following_sizes(&sessions[run])
                                                    : read_sizes(outputs[run], parts[run].count, remote);
        sizes.insert(sizes.end(), part.begin(), part.end());
    }
    return sizes;
}

namespace {

// Reads what `wave` wrote, without waiting; true once its output has ended.
bool wave_read(SizeWave* wave) {
    while (wave->child.output() >= 0) {
        pollfd readable = {wave->child.output(), POLLIN, 0};
        if (poll(&readable, 1, 0) <= 0) return false;
        (void)wave->child.read_output(&wave->output);
    }
    return true;
}

// Takes the answers of `wave`, whose output has ended, and makes it idle.
void take_wave(SizeWaves* waves, SizeWave* wave) {
    (void)wave->child.wait();
    const std::vector<ReportedSize> sizes = read_sizes(wave->output, wave->asking.size(), *waves->remote);
    for (size_t k = 0; k < sizes.size(); ++k) waves->sizes[wave->asking[k]] = sizes[k];
    *wave = SizeWave();
}

// Starts a wave over the files of lane `lane` that wait.
SizeWave start_wave(SizeWaves* waves, size_t lane) {
    SizeWave wave;
    wave.asking = std::move(waves->waiting[lane]);
    waves->waiting[lane].clear();
    std::vector<OpenFile> files;
    files.reserve(wave.asking.size());
    for (const size_t i : wave.asking) files.push_back(waves->files[i]);
    wave.child = start_curl_sizes(files, *waves->remote);
    return wave;
}

}  // namespace

void start_size_waves(const std::vector<OpenFile>& files, const Remote& remote, SizeWaves* waves) {
    waves->files = files;
    waves->remote = &remote;
    waves->parts = split_into_runs(files.size(), remote.transfers);
    waves->lanes.clear();
    waves->lanes.resize(waves->parts.size());
    waves->waiting.assign(waves->parts.size(), {});
    waves->sizes.assign(files.size(), ReportedSize());
}

void size_waves_heard(SizeWaves* waves, double seconds) {
    constexpr double k_far_seconds = 0.1;
    waves->follow = waves->follow || seconds >= k_far_seconds;
}

void ask_size_soon(SizeWaves* waves, size_t file) {
    for (size_t lane = 0; lane < waves->parts.size(); ++lane) {
        const RunPart& part = waves->parts[lane];
        if (file >= part.first && file < part.first + part.count) waves->waiting[lane].push_back(file);
    }
    if (!waves->follow) return;
    // Every lane is looked at: a wave that ended hands on, and the next starts.
    for (size_t lane = 0; lane < waves->lanes.size(); ++lane) {
        SizeWave& wave = waves->lanes[lane];
        if (wave.child.started() && wave_read(&wave)) take_wave(waves, &wave);
        if (!wave.child.started() && !waves->waiting[lane].empty()) wave = start_wave(waves, lane);
    }
}

std::vector<ReportedSize> end_size_waves(SizeWaves* waves) {
    // The files still waiting are asked at once, beside the waves under way.
    std::vector<SizeWave> last;
    for (size_t lane = 0; lane < waves->lanes.size(); ++lane) {
        if (waves->lanes[lane].child.started()) last.push_back(std::move(waves->lanes[lane]));
        if (!waves->waiting[lane].empty()) last.push_back(start_wave(waves, lane));
    }
    std::vector<Child> children;
    children.reserve(last.size());
    for (SizeWave& wave : last) children.push_back(std::move(wave.child));
    const std::vector<std::string> outputs = read_outputs(&children);
    for (size_t k = 0; k < last.size(); ++k) {
        last[k].child = std::move(children[k]);
        last[k].output += outputs[k];
        take_wave(waves, &last[k]);
    }
    return waves->sizes;
}

std::vector<bool> check_sizes(const std::vector<OpenFile>& files, const Remote& remote,
                              SizeCheck* check, std::vector<ReportedSize> known) {
    std::vector<bool> whole(files.size(), false);
    if (check->server_cannot) return whole;
    const std::vector<ReportedSize> sizes = asked_afresh_where_unknown(files, remote, std::move(known));
    for (size_t i = 0; i < files.size(); ++i) {
        struct stat st;
        const uint64_t sent = fstat(files[i].fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
        // The first file tells whether the server can report sizes at all.
        if (!check->told && sizes[i].kind == ReportedSize::unknown) {
            check->server_cannot = true;
            syslog(LOG_ERR, "the server cannot report file sizes: sent files are left pending");
            return whole;
        }
        check->told = true;
        whole[i] = sizes[i].kind == ReportedSize::bytes && sizes[i].size == sent;
        if (!whole[i])
            syslog(LOG_ERR, "File %s is not finished: the server holds %s under its name, not %llu bytes",
                   files[i].path.c_str(), held_text(sizes[i]).c_str(),
                   static_cast<unsigned long long>(sent));
    }
    return whole;
}
