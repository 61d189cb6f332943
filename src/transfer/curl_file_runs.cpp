// Per-file curl mode: one curl run per file and attempt, up to remote.transfers of
// them at once. Each place at once takes a file, runs its attempts with the pause
// after each failed one, and takes the next file once the first is done.
//
// Rules a reader must not break:
// - with one transfer at once, the runs, pauses and log lines are those of sending
//   the files one by one in order;
// - a file is finished (on_sent) as soon as its run says it went;
// - an attempt that shows the link dead ends every other run at once: their files
//   wait again, untried, while the dead file's attempts go on alone.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>

#include "exec/exec.h"
#include "transfer/curl.h"
#include "transfer/runs.h"
#include "transfer/size_check.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t k_no_file = static_cast<size_t>(-1);
// The longest one wait lasts before every run is looked at again, whatever woke it.
constexpr int k_longest_wait_ms = 200;
// How long a run ended here may take to go before it is killed.
constexpr auto k_end_grace = std::chrono::seconds(2);

// One place for a run at once: the file it works on, and where its attempts stand.
struct Place {
    size_t file = k_no_file;
    UniqueFd fd;
    int attempt = 0;          // attempts made
    Child child;              // the attempt under way
    bool ended_here = false;  // its attempt was ended by this program, not tried
    Clock::time_point ended_at;
    bool paused = false;      // after a failed attempt, until `resume`
    Clock::time_point resume;
    NextStep after = NextStep::retry;  // what the pause leads to
};

// The state of one send_in_file_runs call.
struct FileRuns {
    const Remote& remote;  // with the cap of each run
    const std::vector<PendingFile>& files;
    const OnSent& on_sent;
    int first_attempt;
    size_t more_pending;  // pending files of the upload beyond these, for the stop's line
    std::vector<std::string> secrets;
    std::vector<Outcome> outcomes;
    std::deque<size_t> waiting;  // files not yet taken, in order
    std::vector<Place> places;
    size_t alone = k_no_file;  // the place whose file runs alone while the link looks dead
    bool stopped = false;
    SizeCheck* size_check;
};

// Gives `place` the next file that can be sent, after the checks; false when none.
bool take_next(FileRuns* runs, Place* place) {
    while (!runs->waiting.empty()) {
        const size_t file = runs->waiting.front();
        runs->waiting.pop_front();
        const PendingFile& pending = runs->files[file];
        if (refused_by_curl(pending, runs->remote)) {
            runs->outcomes[file] = Outcome::refused;
            continue;
        }
        place->fd.reset(open_to_send(pending));
        if (place->fd.get() < 0) {
            runs->outcomes[file] = Outcome::unsafe;
            continue;
        }
        place->file = file;
        place->attempt = runs->first_attempt - 1;
        return true;
    }
    return false;
}

void free_place(FileRuns* runs, size_t number) {
    Place& place = runs->places[number];
    place.file = k_no_file;
    place.fd.reset();
    place.paused = false;
    if (runs->alone == number) runs->alone = k_no_file;
}

void attempt_ended(FileRuns* runs, size_t number);

void start_attempt(FileRuns* runs, size_t number) {
    Place& place = runs->places[number];
    ++place.attempt;
    place.ended_here = false;
    place.child = Child::start(
        curl_upload_command({runs->files[place.file].path, place.fd.get()}, runs->remote,
                            static_cast<unsigned>(number)),
        runs->secrets, {place.fd.get()});
    // No child (no process could be made): the attempt failed at once.
    if (!place.child.started()) attempt_ended(runs, number);
}

// Ends the runs of every other place; their files wait again, untried.
void end_others(FileRuns* runs, size_t keep) {
    for (size_t number = 0; number < runs->places.size(); ++number) {
        Place& place = runs->places[number];
        if (number == keep || place.file == k_no_file || !place.child.started() ||
            place.child.ended())
            continue;
        place.ended_here = true;
        place.ended_at = Clock::now();
        place.child.end();
    }
}

// Finishes the sent file of `number`, with the size check when asked; a file the
// server does not hold whole stays pending, and one whose size the server cannot
// report stops the run.
void finish_if_whole(FileRuns* runs, size_t number) {
    Place& place = runs->places[number];
    const PendingFile& file = runs->files[place.file];
    if (!runs->remote.verify ||
        check_sizes({{file.path, place.fd.get()}}, runs->remote, runs->size_check)[0]) {
        runs->on_sent(place.file, place.fd.get());
    } else {
        runs->outcomes[place.file] = Outcome::unverified;
        if (runs->size_check->server_cannot) {
            runs->stopped = true;
            end_others(runs, number);
        }
    }
    free_place(runs, number);
}

// Judges a finished attempt as the retry policy says.
void attempt_ended(FileRuns* runs, size_t number) {
    Place& place = runs->places[number];
    const size_t file = place.file;
    const int status = place.child.status();
    // While a dead link's file runs alone, the others' ends go unjudged, as if ended
    // here; only a file that went still counts.
    const bool unjudged = runs->alone != k_no_file && runs->alone != number && status != 0;
    if (place.ended_here || unjudged) {
        runs->waiting.push_front(file);
        free_place(runs, number);
        return;
    }
    const Outcome outcome =
        status == 0 ? Outcome::sent
                    : log_upload_failure(status, run_file(paths::curl_error, static_cast<unsigned>(number)).c_str());
    runs->outcomes[file] = outcome;
    place.after = after_attempt(outcome, place.attempt);
    if (place.after == NextStep::done) {
        finish_if_whole(runs, number);
        return;
    }
    if (place.after == NextStep::retry && shows_link_dead(outcome) && runs->places.size() > 1) {
        runs->alone = number;
        end_others(runs, number);
    }
    place.paused = true;
    place.resume = Clock::now() + std::chrono::seconds(k_retry_pause_seconds);
}

// A place whose pause is over goes on as its last attempt decided.
void pause_ended(FileRuns* runs, size_t number) {
    Place& place = runs->places[number];
    place.paused = false;
    if (place.after == NextStep::retry) {
        start_attempt(runs, number);
        return;
    }
    if (place.after == NextStep::stop_run) {
        size_t left_pending = runs->more_pending;
        for (const Outcome outcome : runs->outcomes) left_pending += outcome == Outcome::not_tried;
        runs->stopped = run_stops_after(runs->outcomes[place.file], left_pending);
        end_others(runs, number);
    }
    free_place(runs, number);
}

// Gives each free place a file and starts it, unless the run stopped or one file
// runs alone.
void fill_places(FileRuns* runs) {
    for (size_t number = 0; number < runs->places.size(); ++number) {
        if (runs->stopped || runs->alone != k_no_file) return;
        Place& place = runs->places[number];
        if (place.file != k_no_file || !take_next(runs, &place)) continue;
        start_attempt(runs, number);
    }
}

// Milliseconds until the first pause ends (0 when one has), -1 with none.
int next_resume_ms(const FileRuns& runs) {
    int soonest = -1;
    for (const Place& place : runs.places) {
        if (!place.paused) continue;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(place.resume - Clock::now());
        const int ms = static_cast<int>(std::max<int64_t>(0, left.count()));
        soonest = soonest < 0 ? ms : std::min(soonest, ms);
    }
    return soonest;
}

// Waits for the next run to end or pause to pass, and handles what happened. False
// once nothing runs or waits any more.
bool step(FileRuns* runs) {
    std::vector<Child*> running;
    std::vector<size_t> owners;
    for (size_t number = 0; number < runs->places.size(); ++number) {
        Place& place = runs->places[number];
        if (place.file == k_no_file || place.paused) continue;
        running.push_back(&place.child);
        owners.push_back(number);
    }
    const int resume_ms = next_resume_ms(*runs);
    if (running.empty() && resume_ms < 0) return false;
    if (running.empty()) {
        // Nothing else runs: the pause is a plain sleep, as between attempts alone.
        if (resume_ms > 0) sleep(static_cast<unsigned>((resume_ms + 999) / 1000));
    } else {
        const int wait_ms = resume_ms < 0 ? k_longest_wait_ms : std::min(resume_ms, k_longest_wait_ms);
        for (const size_t ready : wait_for_children(running, wait_ms))
            if (running[ready]->ended()) attempt_ended(runs, owners[ready]);
        // A run ended here that outlives its signal for long is killed.
        for (const size_t number : owners) {
            Place& place = runs->places[number];
            if (place.ended_here && !place.child.ended() && Clock::now() - place.ended_at > k_end_grace)
                place.child.end(/*kill=*/true);
        }
    }
    for (size_t number = 0; number < runs->places.size(); ++number)
        if (runs->places[number].paused && runs->places[number].resume <= Clock::now())
            pause_ended(runs, number);
    return true;
}

}  // namespace

std::vector<Outcome> send_in_file_runs(const Remote& remote, const std::vector<PendingFile>& files,
                                       const OnSent& on_sent, int first_attempt,
                                       size_t more_pending, SizeCheck* size_check) {
    unsigned long long limit = 0;
    const size_t allowed = open_files_allowed(remote.transfers, &limit);
    Remote each = remote;
    each.transfers = transfers_for(remote.transfers, files.size(), allowed, limit);
    // The run's cap is shared among the runs at once.
    each.rate_kib = rate_per_transfer(remote.rate_kib, each.transfers);
    SizeCheck own_check;
    FileRuns runs{each,     files, on_sent,   first_attempt, more_pending,
                  {},       {},    {},        {},            k_no_file,
                  false,    size_check != nullptr ? size_check : &own_check};
    runs.secrets.push_back(curl_credentials_secret(remote.user.c_str(), remote.password.c_str()));
    runs.outcomes.assign(files.size(), Outcome::not_tried);
    for (size_t i = 0; i < files.size(); ++i) runs.waiting.push_back(i);
    runs.places.resize(each.transfers);
    do {
        fill_places(&runs);
    } while (step(&runs));
    return runs.outcomes;
}
