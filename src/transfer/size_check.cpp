// The size check before a sent file is finished: the server is asked what it holds
// under the file's final name, in one curl run or one sftp session for all the files
// of a run, and a file is finished only when that is every byte sent.
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "exec/exec.h"
#include "fileutil/fileutil.h"
#include "paths.h"
#include "transfer/curl.h"
#include "transfer/sftp.h"
#include "transfer/size_check.h"

namespace {

constexpr char k_size_mark[] = "crateferry-size ";

std::string option(const char* name, const std::string& value) {
    return std::string(name) + " = \"" + curl_config_escape(value) + "\"\n";
}

// Everything the child writes on its standard output, and its wait status.
std::string read_output(Child* child, int* status) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; child->output() >= 0 && (n = read(child->output(), buffer, sizeof buffer)) != 0;) {
        if (n < 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    child->close_output();
    *status = child->wait();
    return text;
}

// The size the server reports for each of `files`, asked in one curl run.
std::vector<ReportedSize> curl_sizes(const std::vector<OpenFile>& files, const Remote& remote) {
    // Every group after "next" starts afresh: each gets the common options again.
    const std::string common = option("user", remote.user + ':' + remote.password) +
                               "silent\nshow-error\ngloboff\nhead\n" +
                               curl_config_stall_options(remote.stall_seconds) +
                               option("write-out", std::string(k_size_mark) + "%{exitcode}\n");
    std::string config;
    for (size_t i = 0; i < files.size(); ++i) {
        if (i > 0) config += "next\n";
        config += common + option("url", curl_target_url(remote.url.c_str(), files[i].path.c_str()));
    }
    // Readable by its owner only: it holds the password.
    std::string output;
    if (write_new_file(paths::curl_sizes, config, 0600)) {
        Child child = Child::start(curl_size_command(), {}, {}, /*with_output=*/true);
        int status = 0;
        output = read_output(&child, &status);
    }
    (void)unlink(paths::curl_sizes);
    return read_curl_sizes(output, files.size());
}

// The size the server reports for each of `files`, asked in one sftp session.
std::vector<ReportedSize> sftp_sizes(const std::vector<OpenFile>& files, const Remote& remote) {
    std::string host;
    std::string folder;
    std::vector<ReportedSize> none(files.size());
    if (!sftp_url_parts(remote.url.c_str(), &host, &folder)) return none;
    std::string queue;
    for (const OpenFile& file : files) queue += sftp_size_line(basename(file.path.c_str()));
    if (!write_new_file(paths::sftp_sizes, queue, 0600)) return none;
    std::vector<std::string> secrets;
    if (!remote.password.empty()) secrets.push_back("SSHPASS=" + remote.password);
    Child child = Child::start(sftp_size_command(remote.user.c_str(), host, folder,
                                                 !remote.password.empty(), remote.stall_seconds),
                               secrets, {}, /*with_output=*/true);
    int status = 0;
    const std::string output = read_output(&child, &status);
    (void)unlink(paths::sftp_sizes);
    return read_sftp_sizes(output, files);
}

// The text a size takes in the log line.
std::string held_text(const ReportedSize& size) {
    if (size.kind == ReportedSize::bytes) return std::to_string(size.size) + " bytes";
    return size.kind == ReportedSize::no_file ? "no file" : "no size it can report";
}

}  // namespace

std::string curl_size_command() {
    return std::string("curl -K ") + paths::curl_sizes + " 2>/dev/null";
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
    std::vector<ReportedSize> sizes(files.size(), ReportedSize{ReportedSize::no_file, 0});
    std::istringstream lines(output);
    size_t asked = 0;  // the files whose line sftp has echoed so far
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 6, "sftp> ") == 0) {
            asked += line.compare(6, 8, "-ls -ln ") == 0 || line.compare(6, 7, "ls -ln ") == 0;
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

std::vector<ReportedSize> remote_sizes(const std::vector<OpenFile>& files, const Remote& remote) {
    if (files.empty()) return {};
    return is_sftp_url(remote.url.c_str()) ? sftp_sizes(files, remote) : curl_sizes(files, remote);
}

std::vector<bool> check_sizes(const std::vector<OpenFile>& files, const Remote& remote,
                              SizeCheck* check) {
    std::vector<bool> whole(files.size(), false);
    if (check->server_cannot) return whole;
    const std::vector<ReportedSize> sizes = remote_sizes(files, remote);
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
