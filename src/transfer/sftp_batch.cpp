// Sending the queued files: one sftp session per queue, all at once.
#include <strings.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "exec/exec.h"
#include "fileutil/fileutil.h"
#include "paths.h"
#include "transfer/curl.h"
#include "transfer/sftp.h"

namespace {

constexpr char k_sftp_scheme[] = "sftp://";
constexpr char k_connected_line[] = "Connected to ";

// sftp reading its commands from standard input goes on after a failed put and still
// exits 0, so a clean session is one whose error text holds nothing but the line
// sftp writes on connecting.
bool error_text_is_clean(const char* path) {
    UniqueFile file(fopen(path, "r"));
    if (!file) return true;
    char line[256];
    bool clean = true;
    bool line_start = true;
    while (clean && fgets(line, sizeof line, file.get()) != nullptr) {
        if (line_start && strncmp(line, k_connected_line, sizeof k_connected_line - 1) != 0)
            clean = line[0] == '\n';
        line_start = strchr(line, '\n') != nullptr;
    }
    return clean;
}

// Ends the queue with a line that makes a local folder. sftp runs it only after every
// line before it; a session that never read the queue (as when the remote folder of
// the URL names a file, which sftp then fetches and exits 0) leaves no folder.
void mark_queue_end(unsigned session) {
    const std::string end = run_file(paths::sftp_queue_end, session);
    (void)rmdir(end.c_str());
    UniqueFile queue(fopen(run_file(paths::sftp_queue, session).c_str(), "a"));
    if (queue) fprintf(queue.get(), "lmkdir %s\n", end.c_str());
}

// True when session `session`, which ended with wait status `status` after `seconds`,
// sent every file of its queue; otherwise logs why not.
bool session_succeeded(unsigned session, int status, uint64_t seconds, uint32_t stall_seconds) {
    const std::string error = run_file(paths::sftp_error, session);
    const bool read_to_end = rmdir(run_file(paths::sftp_queue_end, session).c_str()) == 0;
    const bool clean = error_text_is_clean(error.c_str());
    if (status == 0 && clean && read_to_end) return true;
    if (status == 0 && clean) {
        syslog(LOG_ERR, "file upload has failed(sftp did not read the whole queue)");
        return false;
    }
    if (file_size(error.c_str()) == 0) {
        syslog(LOG_ERR, "file upload has failed(check host or credentials)");
        return false;
    }
    const char* error_lines = read_all_lines(error.c_str());
    if (sftp_stalled(status, seconds, stall_seconds, error_lines))
        syslog(LOG_ERR,
               "file upload has failed(%sthe server did not answer within the stall limit of %u s)",
               error_lines, stall_seconds);
    else
        syslog(LOG_ERR, "file upload has failed(%s)", error_lines);
    return false;
}

}  // namespace

bool is_sftp_url(const char* url) {
    return strncasecmp(url, k_sftp_scheme, sizeof k_sftp_scheme - 1) == 0;
}

bool sftp_url_parts(const char* remoteurl, std::string* host, std::string* folder) {
    if (!is_sftp_url(remoteurl)) return false;
    const std::string rest = remoteurl + sizeof k_sftp_scheme - 1;
    const size_t slash = rest.find('/');
    *host = rest.substr(0, slash);
    *folder = slash == std::string::npos ? "" : rest.substr(slash);
    return true;
}

namespace {

// An sftp session's command up to its target, quoted: through sshpass with a
// password login, the fixed tools and configuration, the stall options and the cap.
std::string sftp_session_command(const char* username, const std::string& host,
                                 const std::string& folder, bool password_login,
                                 uint32_t stall_seconds, uint32_t rate_kib) {
    std::string command;
    if (password_login) command = std::string(paths::sshpass) + " -e ";
    command += std::string(paths::sftp) + " -S " + paths::ssh + " -F " + paths::ssh_config +
               " -o LogLevel=ERROR " + ssh_stall_options(stall_seconds);
    // sftp counts its cap in Kbit/s.
    if (rate_kib != 0) command += "-l " + std::to_string(uint64_t{rate_kib} * 8) + " ";
    const std::string target = std::string(username) + '@' + host + ':' + folder;
    // A target that begins with '-' would be read as an option of sftp.
    if (target[0] == '-') command += "-- ";
    return command + shell_quote(target);
}

}  // namespace

std::string sftp_batch_command(const char* username, const std::string& host,
                               const std::string& folder, bool password_login,
                               uint32_t stall_seconds, uint32_t rate_kib, unsigned session,
                               bool echoed) {
    return sftp_session_command(username, host, folder, password_login, stall_seconds, rate_kib) +
           " < " + run_file(paths::sftp_queue, session) + " 2>" +
           run_file(paths::sftp_error, session) + (echoed ? "" : " > /dev/null");
}

namespace {

constexpr char k_put_echo[] = "sftp> put ";
constexpr char k_end_echo[] = "sftp> lmkdir ";

// One sftp session of several at once, and with the size check, the session that
// follows it.
struct Session {
    unsigned number;
    size_t files;
    Child child;
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point ended;
    std::string partial;  // the start of an echoed line not yet whole
    size_t puts = 0;      // the put lines sftp has echoed
    bool read_all = false;  // it echoed the queue's last line
    FollowingSizes sizes;
};

// Starts session `number` over its queue; false (after judging it) when it could not
// be started.
bool start_session(unsigned number, const Remote& remote, const std::string& host,
                   const std::string& folder, const std::vector<std::string>& secrets,
                   uint32_t rate, const std::vector<OpenFile>& files, Session* session) {
    mark_queue_end(number);
    // A session that cannot start leaves no stale error text to be judged by.
    (void)unlink(run_file(paths::sftp_error, number).c_str());
    std::vector<int> open_files;
    open_files.reserve(files.size());
    for (const OpenFile& file : files) open_files.push_back(file.fd);
    session->number = number;
    session->files = files.size();
    session->started = std::chrono::steady_clock::now();
    session->child = Child::start(sftp_batch_command(remote.user.c_str(), host, folder,
                                                     !remote.password.empty(), remote.stall_seconds,
                                                     rate, number, remote.verify),
                                  secrets, open_files, /*with_output=*/remote.verify);
    return session->child.started();
}

// The files session `session` is done with, by what it echoed: sftp echoes each line
// as it begins it, so a put's file is done once the next put or the last line shows,
// and every file once the output ends.
size_t files_passed(const Session& session) {
    if (session.read_all || session.child.output() < 0) return session.files;
    return session.puts > 0 ? session.puts - 1 : 0;
}

// Reads what `session` echoed; its size check starts once it is logged in (so the two
// logins do not crowd the server at once) and is handed each file it is done with.
void follow_session(Session* session, const std::vector<OpenFile>& files, const Remote& remote) {
    (void)session->child.read_output(&session->partial);
    size_t start = 0;
    for (size_t end; (end = session->partial.find('\n', start)) != std::string::npos; start = end + 1) {
        const char* line = session->partial.c_str() + start;
        session->puts += strncmp(line, k_put_echo, sizeof k_put_echo - 1) == 0;
        session->read_all = session->read_all || strncmp(line, k_end_echo, sizeof k_end_echo - 1) == 0;
    }
    session->partial.erase(0, start);
    if (!session->sizes.child.started() && session->puts > 0)
        (void)start_following_sizes(files, remote, &session->sizes);
    if (session->sizes.child.started()) ask_following_sizes(&session->sizes, files_passed(*session));
}

// True while a session runs or has output still to read.
bool uploading(const std::vector<Session>& sessions) {
    for (const Session& session : sessions)
        if (!session.child.ended() || session.child.output() >= 0) return true;
    return false;
}

// Waits until every session has ended, reading what they and their size checks write.
void drive_sessions(std::vector<Session>* sessions, const std::vector<std::vector<OpenFile>>& queued,
                    const Remote& remote) {
    const size_t count = sessions->size();
    while (uploading(*sessions)) {
        std::vector<Child*> children;
        for (Session& session : *sessions) children.push_back(&session.child);
        for (Session& session : *sessions) children.push_back(&session.sizes.child);
        const std::vector<size_t> ready = wait_for_children(children);
        if (ready.empty()) return;
        for (const size_t i : ready) {
            Session& session = (*sessions)[i % count];
            if (i >= count) {
                read_following_sizes(&session.sizes);
                continue;
            }
            if (session.child.output() >= 0) follow_session(&session, queued[session.number], remote);
            if (session.child.ended() && session.ended == decltype(session.ended)())
                session.ended = std::chrono::steady_clock::now();
        }
    }
}

}  // namespace

std::string sftp_size_command(const char* username, const std::string& host,
                              const std::string& folder, bool password_login,
                              uint32_t stall_seconds) {
    return sftp_session_command(username, host, folder, password_login, stall_seconds, 0) +
           " 2>/dev/null";
}

std::vector<bool> sftp_sessions_upload(const Remote& remote,
                                       const std::vector<std::vector<OpenFile>>& queued,
                                       std::vector<std::vector<ReportedSize>>* sizes) {
    std::vector<bool> sent(queued.size(), false);
    sizes->assign(queued.size(), {});
    std::string host;
    std::string folder;
    if (!sftp_url_parts(remote.url.c_str(), &host, &folder)) return sent;
    std::vector<std::string> secrets;
    if (!remote.password.empty()) secrets.push_back("SSHPASS=" + remote.password);
    size_t started_sessions = 0;
    for (const std::vector<OpenFile>& files : queued) started_sessions += !files.empty();
    // The run's cap is shared among the sessions that start.
    const uint32_t rate = rate_per_transfer(remote.rate_kib, static_cast<uint32_t>(started_sessions));
    std::vector<Session> sessions;
    sessions.reserve(queued.size());
    for (unsigned number = 0; number < queued.size(); ++number) {
        if (queued[number].empty()) continue;
        sessions.emplace_back();
        if (start_session(number, remote, host, folder, secrets, rate, queued[number], &sessions.back()))
            continue;
        sent[number] = session_succeeded(number, -1, 0, remote.stall_seconds);
        sessions.pop_back();
    }
    drive_sessions(&sessions, queued, remote);
    for (Session& session : sessions) {
        const auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(session.ended - session.started);
        sent[session.number] = session_succeeded(session.number, session.child.wait(),
                                                 static_cast<uint64_t>(seconds.count()),
                                                 remote.stall_seconds);
        if (!sent[session.number] || !remote.verify) continue;
        if (!session.sizes.child.started())
            (void)start_following_sizes(queued[session.number], remote, &session.sizes);
        (*sizes)[session.number] = end_following_sizes(&session.sizes);
    }
    return sent;
}
