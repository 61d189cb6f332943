// The ways of sending, chosen by the remote URL, and what they share: opening and
// checking a file before it goes, the names curl cannot carry, the descriptor limit,
// and the end of a run on a dead link.
#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>

#include "transfer/curl.h"
#include "transfer/runs.h"
#include "transfer/sftp.h"
#include "transfer/size_check.h"
#include "transfer/transfer.h"

namespace {

// Files per curl run in batch mode: a bound on the batch file, not on the speed.
constexpr size_t k_files_per_batch = 1000;
// Descriptors left for everything but the files of one batch or session.
constexpr rlim_t k_spare_descriptors = 64;

// The open files of one batch or session, closed together.
struct OpenBatch {
    std::vector<size_t> files;     // indexes into the run's files
    std::vector<UniqueFd> opened;  // one per index
};

// Opens the files `indexes[from..]` names, up to `most`; a file that fails its check
// gets Outcome::unsafe. Returns how far it got in `indexes`.
size_t open_batch(const std::vector<PendingFile>& files, const std::vector<size_t>& indexes,
                  size_t from, size_t most, std::vector<Outcome>* outcomes, OpenBatch* batch) {
    size_t next = from;
    for (; next < indexes.size() && batch->files.size() < most; ++next) {
        UniqueFd fd(open_to_send(files[indexes[next]]));
        if (fd.get() < 0) {
            (*outcomes)[indexes[next]] = Outcome::unsafe;
            continue;
        }
        batch->files.push_back(indexes[next]);
        batch->opened.push_back(std::move(fd));
    }
    return next;
}

// The places in the batch of the files of one round of curl runs: all of them first.
std::vector<size_t> all_places(size_t count) {
    std::vector<size_t> places(count);
    for (size_t i = 0; i < count; ++i) places[i] = i;
    return places;
}

// The files the tool reported sent, at `sent` in `run`, finished when the size check
// proves them whole; the others are Outcome::unverified in `got`.
void finish_checked(const std::vector<OpenFile>& run, const std::vector<size_t>& sent,
                    const Remote& remote, SizeCheck* size_check, std::vector<Outcome>* got,
                    const std::function<void(size_t)>& finish,
                    std::vector<ReportedSize> known = {}) {
    std::vector<OpenFile> checked;
    checked.reserve(sent.size());
    for (const size_t i : sent) checked.push_back(run[i]);
    const std::vector<bool> whole = check_sizes(checked, remote, size_check, std::move(known));
    for (size_t k = 0; k < sent.size(); ++k) {
        if (whole[k])
            finish(sent[k]);
        else
            (*got)[sent[k]] = Outcome::unverified;
    }
}

// One round of curl batch runs over the files of `batch` at `waiting`; a file sent is
// finished at once, or with the size check once the round is over. Returns the
// results per waiting file, or an empty vector when a run's results could not be read
// (nothing may be sent again in this upload).
std::vector<Outcome> batch_round(const Remote& remote, const std::vector<PendingFile>& files,
                                 const OpenBatch& batch, const std::vector<size_t>& waiting,
                                 const OnSent& on_sent, SizeCheck* size_check) {
    std::vector<OpenFile> run;
    run.reserve(waiting.size());
    for (const size_t place : waiting)
        run.push_back({files[batch.files[place]].path, batch.opened[place].get()});
    const auto finish = [&](size_t i) {
        on_sent(batch.files[waiting[i]], batch.opened[waiting[i]].get());
    };
    std::vector<Outcome> got(waiting.size(), Outcome::not_tried);
    std::vector<size_t> sent;
    // With the size check, each file sent is asked for while the upload goes on.
    SizeWaves waves;
    if (remote.verify) start_size_waves(run, remote, &waves);
    const bool reported = curl_batch_upload(run, remote, [&](size_t i, Outcome outcome) {
        got[i] = outcome;
        if (outcome != Outcome::sent) return;
        if (!remote.verify) return finish(i);
        sent.push_back(i);
        if (!size_check->server_cannot) ask_size_soon(&waves, i);
    }, [&](double seconds) { size_waves_heard(&waves, seconds); });
    if (remote.verify) {
        const std::vector<ReportedSize> asked = end_size_waves(&waves);
        std::vector<ReportedSize> known;
        known.reserve(sent.size());
        for (const size_t i : sent) known.push_back(asked[i]);
        finish_checked(run, sent, remote, size_check, &got, finish, std::move(known));
    }
    return reported ? got : std::vector<Outcome>();
}

// A file that failed in a batch run gets its remaining attempts alone, as in per-file
// mode. True when its last one showed the link dead: the run stopped.
bool attempts_alone(const Remote& remote, const std::vector<PendingFile>& files, size_t file,
                    size_t left_pending, Outcome* outcome, const OnSent& on_sent,
                    SizeCheck* size_check) {
    sleep(k_retry_pause_seconds);
    Remote alone = remote;
    alone.transfers = 1;
    // The file's own attempts, sent as the only file of their runs: its place there
    // is 0, its place in the upload `file`. A stop is logged there, with the files
    // after it.
    const OnSent sent_alone = [&](size_t, int fd) { on_sent(file, fd); };
    *outcome = send_in_file_runs(alone, {files[file]}, sent_alone, /*first_attempt=*/2,
                                 left_pending, size_check)[0];
    return shows_link_dead(*outcome);
}

// Sends the files of one opened batch in rounds of runs; false once the upload stops.
bool send_batch(const Remote& remote, const std::vector<PendingFile>& files, const OpenBatch& batch,
                size_t unopened, std::vector<Outcome>* outcomes, const OnSent& on_sent,
                SizeCheck* size_check) {
    std::vector<size_t> waiting = all_places(batch.files.size());
    while (!waiting.empty()) {
        const std::vector<Outcome> got =
            batch_round(remote, files, batch, waiting, on_sent, size_check);
        if (got.empty() || size_check->server_cannot) {
            for (size_t i = 0; i < got.size(); ++i) (*outcomes)[batch.files[waiting[i]]] = got[i];
            return false;
        }
        std::vector<size_t> untried;
        for (size_t i = 0; i < got.size(); ++i) {
            const size_t file = batch.files[waiting[i]];
            (*outcomes)[file] = got[i];
            if (got[i] == Outcome::not_tried) untried.push_back(waiting[i]);
            if (got[i] == Outcome::sent || got[i] == Outcome::not_tried ||
                got[i] == Outcome::unverified)
                continue;
            size_t left_pending = untried.size() + unopened;
            for (size_t j = i + 1; j < got.size(); ++j) left_pending += got[j] != Outcome::sent;
            if (attempts_alone(remote, files, file, left_pending, &(*outcomes)[file], on_sent,
                               size_check) ||
                size_check->server_cannot)
                return false;
        }
        waiting = std::move(untried);
    }
    return true;
}

// Finishes the files of the sessions that succeeded (`went`, places in `batch`), in
// queue order, with the size check when asked (`known`: the sizes the sessions' checks
// got, one per file of `went`).
void finish_sessions_files(const Remote& remote, const std::vector<PendingFile>& files,
                           const OpenBatch& batch, const std::vector<size_t>& went,
                           std::vector<ReportedSize> known, SizeCheck* size_check,
                           std::vector<Outcome>* outcomes, const OnSent& on_sent) {
    const auto finish = [&](size_t k) {
        on_sent(batch.files[went[k]], batch.opened[went[k]].get());
    };
    if (!remote.verify) {
        for (size_t k = 0; k < went.size(); ++k) finish(k);
        return;
    }
    std::vector<OpenFile> sent;
    sent.reserve(went.size());
    for (const size_t i : went) sent.push_back({files[batch.files[i]].path, batch.opened[i].get()});
    std::vector<Outcome> got(went.size(), Outcome::sent);
    finish_checked(sent, all_places(went.size()), remote, size_check, &got, finish, std::move(known));
    for (size_t k = 0; k < went.size(); ++k) (*outcomes)[batch.files[went[k]]] = got[k];
}

// Splits the files of `batch` among up to `sessions` sessions and queues each for
// its session. Per session, the files queued (`queued`: places in `batch`), and the
// same as open files.
std::vector<std::vector<OpenFile>> queue_sessions(const Remote& remote,
                                                  const std::vector<PendingFile>& files,
                                                  const OpenBatch& batch, unsigned sessions,
                                                  std::vector<std::vector<size_t>>* queued) {
    const std::vector<RunPart> parts = split_into_runs(batch.files.size(), sessions);
    queued->assign(parts.size(), {});
    std::vector<std::vector<OpenFile>> queued_files(parts.size());
    sftp_queue_clear(0);  // no queue is left behind, even with nothing to send
    for (unsigned session = 0; session < parts.size(); ++session) {
        sftp_queue_reset(session);
        for (size_t i = parts[session].first; i < parts[session].first + parts[session].count; ++i) {
            if (!sftp_queue_add(files[batch.files[i]].path.c_str(), batch.opened[i].get(),
                                remote.temporary_names, remote.temporary_tag, session))
                continue;
            (*queued)[session].push_back(i);
            queued_files[session].push_back({files[batch.files[i]].path, batch.opened[i].get()});
        }
    }
    return queued_files;
}

}  // namespace

int open_to_send(const PendingFile& file) {
    std::string why;
    const int fd = open_walked_file(file.folder_fd, file.name.c_str(), file.seen, &why);
    if (fd < 0) syslog(LOG_ERR, "File %s is not sent: %s", file.path.c_str(), why.c_str());
    return fd;
}

bool refused_by_curl(const PendingFile& file, const Remote& remote) {
    const unsigned char byte = curl_unsendable_byte(file.path.c_str(), remote.url.c_str());
    if (byte == 0) return false;
    syslog(LOG_ERR, "File %s cannot be sent over FTP: its name holds the byte 0x%02X",
           file.path.c_str(), byte);
    return true;
}

size_t open_files_allowed(size_t wanted, unsigned long long* limit_in_force) {
    struct rlimit limit;
    *limit_in_force = 0;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1;
    const rlim_t needed = static_cast<rlim_t>(wanted) + k_spare_descriptors;
    // Raised only as far as the files need and the hard limit allows: every child
    // closes the descriptors up to it, one by one on kernels without close_range.
    if (limit.rlim_cur < needed && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = std::min(needed, limit.rlim_max);
        // Not raised: the soft limit stays what it was, and is used as it is.
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) (void)getrlimit(RLIMIT_NOFILE, &limit);
    }
    *limit_in_force = static_cast<unsigned long long>(limit.rlim_cur);
    if (limit.rlim_cur <= k_spare_descriptors * 2) return 1;
    return static_cast<size_t>(std::min<rlim_t>(limit.rlim_cur - k_spare_descriptors, SIZE_MAX));
}

unsigned transfers_for(unsigned asked, size_t files, size_t open_allowed, unsigned long long limit) {
    const unsigned possible = transfers_at_once(asked, files, open_allowed);
    if (possible < transfers_at_once(asked, files, SIZE_MAX))
        syslog(LOG_NOTICE, "%u transfers at once asked, %u possible with the open-file limit of %llu",
               asked, possible, limit);
    return possible;
}

bool run_stops_after(Outcome last, size_t left_pending) {
    if (last == Outcome::stalled)
        syslog(LOG_ERR, "upload stopped after a stalled transfer: %zu more files left pending",
               left_pending);
    else if (last == Outcome::unreachable)
        syslog(LOG_ERR,
               "upload stopped: the server could not be reached or refused the login: %zu more "
               "files left pending",
               left_pending);
    return shows_link_dead(last);
}

std::vector<Outcome> send_files(const Remote& remote, const std::vector<PendingFile>& files,
                                const OnSent& on_sent) {
    if (is_sftp_url(remote.url.c_str())) return send_with_sftp(remote, files, on_sent);
    if (files.size() > 1 && !url_last_segment(remote.url).empty())
        syslog(LOG_WARNING,
               "the remote URL names a file, not a folder: all %zu pending files go to that one "
               "remote name",
               files.size());
    if (remote.curl_batch) return send_in_curl_batch(remote, files, on_sent);
    return send_in_file_runs(remote, files, on_sent);
}

std::vector<Outcome> send_in_curl_batch(const Remote& remote,
                                        const std::vector<PendingFile>& files,
                                        const OnSent& on_sent) {
    std::vector<Outcome> outcomes(files.size(), Outcome::not_tried);
    std::vector<size_t> sendable;
    for (size_t i = 0; i < files.size(); ++i) {
        if (refused_by_curl(files[i], remote))
            outcomes[i] = Outcome::refused;
        else
            sendable.push_back(i);
    }
    unsigned long long limit = 0;
    const size_t per_batch = std::min(
        k_files_per_batch, open_files_allowed(std::min(k_files_per_batch, sendable.size()), &limit));
    Remote runs = remote;
    runs.transfers = transfers_for(remote.transfers, sendable.size(), per_batch, limit);
    SizeCheck size_check;
    for (size_t next = 0; next < sendable.size();) {
        OpenBatch batch;
        next = open_batch(files, sendable, next, per_batch, &outcomes, &batch);
        if (!send_batch(runs, files, batch, sendable.size() - next, &outcomes, on_sent, &size_check))
            break;
    }
    return outcomes;
}

// The files opened for sessions are split among up to remote.transfers sessions at
// once, each over a contiguous part of them of about equal size.
std::vector<Outcome> send_with_sftp(const Remote& remote, const std::vector<PendingFile>& files,
                                    const OnSent& on_sent) {
    std::vector<Outcome> outcomes(files.size(), Outcome::refused);
    const std::vector<size_t> all = all_places(files.size());
    unsigned long long limit = 0;
    const size_t per_round = open_files_allowed(files.size(), &limit);
    const unsigned sessions = transfers_for(remote.transfers, files.size(), per_round, limit);
    SizeCheck size_check;
    size_t next = 0;
    do {
        OpenBatch batch;
        next = open_batch(files, all, next, per_round, &outcomes, &batch);
        std::vector<std::vector<size_t>> queued;
        const std::vector<std::vector<OpenFile>> queued_files =
            queue_sessions(remote, files, batch, sessions, &queued);
        std::vector<std::vector<ReportedSize>> sizes;
        const std::vector<bool> sent = sftp_sessions_upload(remote, queued_files, &sizes);
        std::vector<size_t> went;
        std::vector<ReportedSize> known;
        for (size_t session = 0; session < queued.size(); ++session) {
            for (size_t k = 0; k < queued[session].size(); ++k) {
                const size_t i = queued[session][k];
                outcomes[batch.files[i]] = sent[session] ? Outcome::sent : Outcome::failed;
                if (!sent[session]) continue;
                went.push_back(i);
                // With the check, a session that went reports a size for each of its files.
                if (remote.verify) known.push_back(sizes[session][k]);
            }
        }
        finish_sessions_files(remote, files, batch, went, std::move(known), &size_check, &outcomes,
                              on_sent);
    } while (next < files.size() && !size_check.server_cannot);
    return outcomes;
}
